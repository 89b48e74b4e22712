// `corvel-pop3-server`: the project's POP3 server as a program of its own, for
// scripts (the desktop benchmark). User "user", password "secret"; a few
// messages. Prints the port, then "sessions N" each time a session has ended,
// and stops at the end of its standard input.
//   corvel-pop3-server [MESSAGES]
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "pop3_server/mailbox_pop3_server.h"

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 3;
  corvel::test::MailboxPop3Server server;
  for (int i = 1; i <= messages; ++i) {
    server.AddMessage("msg-" + std::to_string(i),
                      "From: Corvel <corvel@example.org>\r\nSubject: Message " + std::to_string(i) +
                          "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nHi\r\n");
  }
  std::cout << server.Port() << std::endl;
  std::size_t told = 0;
  while (true) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, 200) > 0) {
      char buffer[256];
      if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    const std::size_t sessions = server.SessionCount();
    if (sessions != told) {
      told = sessions;
      std::cout << "sessions " << sessions << std::endl;
    }
  }
  return 0;
}
