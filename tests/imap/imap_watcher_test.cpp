// The IDLE watcher against a scripted server: news while idling and while
// renewing, a dropped connection opened again after a pause (and the account
// looked at then), and a server without IDLE left to the interval.
#include "imap/imap_watcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scripted_imap_server.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"

namespace corvel {
namespace {

using test::ImapScript;
using test::ScriptedImapServer;
using Phase = ImapWatcher::Phase;

class ImapWatcherTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImapWatcher> Watch(const ScriptedImapServer& server) {
    ImapWatchSettings settings;
    settings.host = ScriptedImapServer::Host();
    settings.port = server.PortText();
    settings.user = "tim";
    settings.firstRetryMs = 10;
    settings.renewMs = renewMs_;
    auto watcher = std::make_unique<ImapWatcher>(loop_, settings);
    watcher->OnSecret = [](std::string&) { return std::optional<std::string>("secret"); };
    watcher->OnNewMail = [this] { ++news_; };
    watcher->OnLog = [this](std::string_view line) { log_.emplace_back(line); };
    watcher->Start();
    return watcher;
  }

  // Logged in, INBOX examined as a2.
  static ImapScript Opened(const char* capabilities = "IMAP4rev1 IDLE") {
    ImapScript script = ImapScript::LoggedIn(capabilities);
    script.Expect("a2 EXAMINE INBOX").Send("* 1 EXISTS").Send("a2 OK");
    return script;
  }

  test::SystemEventLoop loop_;
  std::uint32_t renewMs_ = 9 * 60 * 1000;
  int news_ = 0;
  std::vector<std::string> log_;
};

TEST_F(ImapWatcherTest, TellsNewsWhileIdlingAndRenewsWithDoneAndNoop) {
  ImapScript script = Opened();
  script.Expect("a3 IDLE")
      .Send("+ idling")
      .Send("* 2 EXISTS")
      .Expect("DONE")
      .Send("a3 OK")
      .Expect("a4 NOOP")
      .Send("* 3 EXISTS")
      .Send("a4 OK")
      .Expect("a5 IDLE")
      .Send("+ idling")
      .StaySilent();
  ScriptedImapServer server(std::move(script));
  renewMs_ = 100;
  auto watcher = Watch(server);
  ASSERT_TRUE(test::WaitFor(loop_, [&] {
    return server.Transcript().find("a5 IDLE\r\n") != std::string::npos && news_ == 2;
  }));
  EXPECT_EQ(log_, std::vector<std::string>{"Waiting for new mail in INBOX (IDLE)"});
  EXPECT_EQ(server.Transcript().rfind(std::string(test::kImapLoginTranscript) +
                                          "a2 EXAMINE INBOX\r\na3 IDLE\r\nDONE\r\na4 NOOP\r\n"
                                          "a5 IDLE\r\n",
                                      0),
            0u);
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

TEST_F(ImapWatcherTest, OpensADroppedConnectionAgainAndLooksForWhatCameMeanwhile) {
  // Dropped without a word as the IDLE is renewed.
  ImapScript dropped = Opened();
  dropped.Expect("a3 IDLE").Send("+ idling").Expect("DONE").Close();
  ImapScript again = Opened();
  again.Expect("a3 IDLE").Send("+ idling").StaySilent();
  ScriptedImapServer server({std::move(dropped), std::move(again)});
  renewMs_ = 100;
  auto watcher = Watch(server);
  ASSERT_TRUE(test::WaitFor(loop_, [&] { return news_ == 1; }));
  EXPECT_EQ(watcher->CurrentPhase(), Phase::kIdling);
  EXPECT_EQ(log_, (std::vector<std::string>{
                      "Waiting for new mail in INBOX (IDLE)",
                      "IDLE in INBOX stopped (the connection was closed); trying again in 1 s",
                      "Waiting for new mail in INBOX (IDLE)"}));
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

TEST_F(ImapWatcherTest, LeavesAServerWithoutIdleToTheInterval) {
  ImapScript script = Opened("IMAP4rev1");
  script.Expect("a3 LOGOUT").SendAndClose("a3 OK");
  ScriptedImapServer server(std::move(script));
  auto watcher = Watch(server);
  ASSERT_TRUE(test::WaitFor(
      loop_, [&] { return server.Transcript().find("a3 LOGOUT") != std::string::npos; }));
  EXPECT_EQ(watcher->CurrentPhase(), Phase::kUnsupported);
  EXPECT_EQ(log_, std::vector<std::string>{
                      "The server offers no IDLE: INBOX is checked at the account's interval"});
}

}  // namespace
}  // namespace corvel
