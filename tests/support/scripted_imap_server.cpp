#include "support/scripted_imap_server.h"

#include <utility>

namespace corvel::test {

ImapScript& ImapScript::Send(std::string_view line) {
  script_.Send(line);
  return *this;
}

ImapScript& ImapScript::SendRaw(std::string bytes) {
  script_.SendRaw(std::move(bytes));
  return *this;
}

ImapScript& ImapScript::SendLiteral(std::string_view before, std::string_view literal,
                                    std::string_view after) {
  std::string bytes(before);
  bytes += "{" + std::to_string(literal.size()) + "}\r\n";
  bytes += literal;
  bytes += after;
  bytes += "\r\n";
  script_.SendRaw(std::move(bytes));
  return *this;
}

ImapScript& ImapScript::Expect(std::string line) {
  script_.Expect(std::move(line));
  return *this;
}

ImapScript& ImapScript::Receive() {
  script_.ReceiveLine();
  return *this;
}

ImapScript& ImapScript::StaySilent() {
  script_.StaySilent();
  return *this;
}

ImapScript& ImapScript::Close() {
  script_.Close();
  return *this;
}

ImapScript& ImapScript::SendAndClose(std::string_view line) {
  script_.SendAndClose(line);
  return *this;
}

ImapScript ImapScript::LoggedIn(std::string_view capabilities) {
  ImapScript script;
  script.Send("* OK [CAPABILITY " + std::string(capabilities) + "] ready")
      .Expect("a1 LOGIN tim secret")
      .Send("a1 OK [CAPABILITY " + std::string(capabilities) + "] logged in");
  return script;
}

std::vector<Pop3Script> ScriptedImapServer::Scripts(std::vector<ImapScript> scripts) {
  std::vector<Pop3Script> lines;
  for (ImapScript& script : scripts) lines.push_back(std::move(script.script_));
  return lines;
}

ScriptedImapServer::ScriptedImapServer(ImapScript script) : server_(std::move(script.script_)) {}

ScriptedImapServer::ScriptedImapServer(std::vector<ImapScript> scripts)
    : server_(Scripts(std::move(scripts))) {}

}  // namespace corvel::test
