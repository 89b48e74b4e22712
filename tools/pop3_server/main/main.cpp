// `corvel-pop3-server`: the project's POP3 server as a program of its own, for
// scripts (the desktop benchmark). User "user", password "secret"; MESSAGES
// messages at start (3 by default) and one more for each line on its
// standard input. Prints the port, then "sessions N" each time a session has
// ended, and stops at the end of its standard input. Each FILE is one more
// message at start, as it is (its UIDL is the file's name).
//   corvel-pop3-server [MESSAGES [FILE...]]
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "pop3_server/mailbox_pop3_server.h"

namespace {

void AddMessage(corvel::test::MailboxPop3Server& server, int number) {
  server.AddMessage("msg-" + std::to_string(number),
                    "From: Corvel <corvel@example.org>\r\nSubject: Message " +
                        std::to_string(number) +
                        "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nHi\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  int messages = argc > 1 ? std::atoi(argv[1]) : 3;
  corvel::test::MailboxPop3Server server;
  for (int i = 1; i <= messages; ++i) AddMessage(server, i);
  for (int i = 2; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::cerr << "corvel-pop3-server: cannot read " << argv[i] << '\n';
      return 2;
    }
    std::ostringstream content;
    content << file.rdbuf();
    server.AddMessage(std::filesystem::path(argv[i]).filename().string(), content.str());
  }
  std::cout << server.Port() << std::endl;
  std::size_t told = 0;
  while (true) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, 200) > 0) {
      char buffer[256];
      const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') AddMessage(server, ++messages);
      }
    }
    const std::size_t sessions = server.SessionCount();
    if (sessions != told) {
      told = sessions;
      std::cout << "sessions " << sessions << std::endl;
    }
  }
  return 0;
}
