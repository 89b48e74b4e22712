// A small but real POP3 server (RFC 1939, APOP, AUTH of RFC 1734 with LOGIN,
// CRAM-MD5 and CRAM-SHA1) over a list of messages, for the mail-checking
// tests, the benchmarks and the demo. It runs on 127.0.0.1 with a port chosen
// by the system, in a thread of its own, serving one connection after the
// other until it is destroyed. Each login method can be switched off, and
// messages can be added between sessions (a session works on the messages
// present when it logged in). No test framework in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pop3_server/server_connection.h"

namespace corvel::test {

struct MailboxOptions {
  std::string user = "user";
  std::string password = "secret";
  // The APOP timestamp shown in the greeting; empty: no timestamp (and APOP
  // is then refused).
  std::string timestamp = "<1896.697170952@dbc.mtview.ca.us>";
  bool allowUserPass = true;
  bool allowApop = true;
  bool allowLogin = true;
  bool allowCramMd5 = true;
  bool allowCramSha1 = true;
  // The challenge of the CRAM logins, before Base64.
  std::string cramChallenge = "<1896.697170952@postoffice.reston.mci.net>";
  // Whether CAPA announces PIPELINING (the server reads commands in order
  // however they arrive, so it may).
  bool pipelining = true;
  // How long a session may stay silent before the server drops it.
  int idleTimeoutMs = 60000;
};

struct MailboxMessage {
  std::string uidl;
  std::string content;  // CR LF line ends; its size is what LIST reports
};

class MailboxPop3Server {
 public:
  explicit MailboxPop3Server(MailboxOptions options = {});
  ~MailboxPop3Server();
  MailboxPop3Server(const MailboxPop3Server&) = delete;
  MailboxPop3Server& operator=(const MailboxPop3Server&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return listener_.Port(); }
  [[nodiscard]] std::string PortText() const { return std::to_string(Port()); }
  [[nodiscard]] static std::string Host() { return "127.0.0.1"; }

  // Adds a message; lone LF line ends become CR LF. Seen by later sessions.
  void AddMessage(std::string uidl, std::string_view content);
  void SetOptions(MailboxOptions options);
  [[nodiscard]] std::vector<MailboxMessage> Messages() const;
  // Every command line received, over all sessions, in order.
  [[nodiscard]] std::vector<std::string> Commands() const;
  [[nodiscard]] std::size_t SessionCount() const;

 private:
  struct Session;
  void Run();
  void Serve(ServerConnection& connection);

  ServerListener listener_;
  StopSignal stop_;
  mutable std::mutex mutex_;
  MailboxOptions options_;
  std::vector<MailboxMessage> messages_;
  std::vector<std::string> commands_;
  std::size_t sessions_ = 0;
  std::thread thread_;
};

}  // namespace corvel::test
