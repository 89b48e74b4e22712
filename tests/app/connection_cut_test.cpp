// A server that drops the connection anywhere in a complete check, after
// every byte it sends, by an orderly close and by a reset: each check ends
// through its normal end, nothing crashes (the sanitizer build runs this
// too), and the seen-message file holds exactly the identifiers whose UIDL
// reply reached the program whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "accounts/file_io.h"
#include "main_window_fixture.h"
#include "support/scripted_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::IsEmpty;

// One command of the check and the server's whole answer to it.
struct Exchange {
  std::string command;  // empty for the greeting
  std::string reply;
  // The identifiers the program learns from this reply, recorded as seen once
  // the reply has arrived whole.
  std::vector<std::string> learned;
};

// The check of a leave-mail account whose first message is already seen,
// message by message, with "Show me all the new mail" on.
std::vector<Exchange> CompleteCheck() {
  const std::string top = "+OK\r\nFrom: a@example.org\r\nSubject: hi\r\n\r\nbody\r\n.\r\n";
  return {{"", "+OK ready\r\n", {}},
          {"USER user", "+OK\r\n", {}},
          {"PASS secret", "+OK in\r\n", {}},
          {"STAT", "+OK 3 600\r\n", {}},
          {"UIDL 1", "+OK 1 old-1\r\n", {}},
          {"UIDL 2", "+OK 2 new-2\r\n", {"new-2"}},
          {"LIST 2", "+OK 2 200\r\n", {}},
          {"TOP 2 1", top, {}},
          {"UIDL 3", "+OK 3 new-3\r\n", {"new-3"}},
          {"LIST 3", "+OK 3 300\r\n", {}},
          {"TOP 3 1", top, {}},
          {"QUIT", "+OK\r\n", {}}};
}

constexpr std::string_view kSeenBefore = "old-1\r\n";

// The server's side of the check, dropped after its first `cut` bytes.
Pop3Script CutScript(const std::vector<Exchange>& check, std::size_t cut, bool reset) {
  Pop3Script script;
  std::size_t sent = 0;
  for (const Exchange& exchange : check) {
    if (sent == cut) break;
    if (!exchange.command.empty()) script.Expect(exchange.command);
    const std::string part = exchange.reply.substr(0, cut - sent);
    script.SendRaw(part);
    sent += part.size();
  }
  return reset ? script.Reset() : script.Close();
}

// The seen file after a check whose server sent its first `cut` bytes.
std::string ExpectedSeenFile(const std::vector<Exchange>& check, std::size_t cut) {
  std::string seen(kSeenBefore);
  std::size_t end = 0;
  for (const Exchange& exchange : check) {
    end += exchange.reply.size();
    if (end > cut) break;
    for (const std::string& uidl : exchange.learned) seen += uidl + "\r\n";
  }
  return seen;
}

class ConnectionCutTest : public MainWindowTest {};

TEST_F(ConnectionCutTest, CutAfterEveryByteByCloseAndByResetKeepsExactlyTheWholeUidlReplies) {
  const std::vector<Exchange> check = CompleteCheck();
  std::size_t total = 0;
  for (const Exchange& exchange : check) total += exchange.reply.size();
  std::vector<Pop3Script> scripts;
  for (const bool reset : {false, true}) {
    for (std::size_t cut = 0; cut <= total; ++cut) scripts.push_back(CutScript(check, cut, reset));
  }
  ScriptedPop3Server server(std::move(scripts));

  TestAccount account;
  account.port = server.PortText();
  account.authMethod = "NONE";
  account.uidlFileName = "cut.uidl";
  AddAccount(account);
  settings_.Preset(kProgramKey, "AllMail", "True");
  // The message-by-message detection, whose transcript is the one above.
  settings_.Preset(kProgramKey, "FastListing", "False");
  MainWindowOptions options;
  options.pop3Timeout = 1;
  Start(options);

  for (const bool reset : {false, true}) {
    for (std::size_t cut = 0; cut <= total; ++cut) {
      SCOPED_TRACE((reset ? "reset after " : "close after ") + std::to_string(cut) + " bytes");
      ReplaceFileAtomically("cut.uidl", kSeenBefore);
      Tick();
      EXPECT_EQ(ReadWholeFile("cut.uidl"), ExpectedSeenFile(check, cut));
      const std::vector<std::string> log = LogOf("Home");
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(), "Logged out from 127.0.0.1...");
      EXPECT_TRUE(window_->CheckTimerEnabled());
    }
  }
  EXPECT_THAT(server.Failures(), IsEmpty());
}

}  // namespace
}  // namespace corvel::test
