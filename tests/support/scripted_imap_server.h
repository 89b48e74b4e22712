// An IMAP server for tests that plays a script, on the scripted POP3
// server's machinery: IMAP's commands are lines too (a literal the client
// sends ends its line and the rest follows on the next), so the same
// line-by-line exchange serves, with the steps an IMAP script needs on top:
// literals, the usual greeting and login. It records every byte the client
// sent, so a test can assert the exact transcript, tags included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/scripted_pop3_server.h"

namespace corvel::test {

class ImapScript {
 public:
  // Sends `line` followed by CR LF.
  ImapScript& Send(std::string_view line);
  // Sends the bytes as they are.
  ImapScript& SendRaw(std::string bytes);
  // Sends `before` + "{n}" CR LF + the n bytes of `literal` + `after` + CR LF.
  ImapScript& SendLiteral(std::string_view before, std::string_view literal,
                          std::string_view after);
  // Reads the next client line and requires it to be exactly `line`.
  ImapScript& Expect(std::string line);
  // Reads the next client line and only records it.
  ImapScript& Receive();
  // Reads and records until the client closes the connection.
  ImapScript& StaySilent();
  // Closes the connection without a word (no BYE).
  ImapScript& Close();
  ImapScript& SendAndClose(std::string_view line);

  // "* OK [CAPABILITY <capabilities>] ready", then LOGIN tim secret as a1.
  static ImapScript LoggedIn(std::string_view capabilities = "IMAP4rev1 IDLE");

 private:
  friend class ScriptedImapServer;
  Pop3Script script_;
};

class ScriptedImapServer {
 public:
  explicit ScriptedImapServer(ImapScript script);
  explicit ScriptedImapServer(std::vector<ImapScript> scripts);

  [[nodiscard]] std::string PortText() const { return server_.PortText(); }
  [[nodiscard]] static std::string Host() { return ScriptedPop3Server::Host(); }
  [[nodiscard]] std::string Transcript(std::size_t session = 0) const {
    return server_.Transcript(session);
  }
  [[nodiscard]] std::vector<std::string> Failures() const { return server_.Failures(); }

 private:
  static std::vector<Pop3Script> Scripts(std::vector<ImapScript> scripts);
  ScriptedPop3Server server_;
};

// The transcript of LoggedIn().
inline constexpr char kImapLoginTranscript[] = "a1 LOGIN tim secret\r\n";

}  // namespace corvel::test
