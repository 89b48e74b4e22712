// The running program through sleep and network loss: after a resume every
// account is checked once, a few seconds apart, when the network is usable,
// and its news told in one balloon; when the network returns, the accounts
// that failed without it are checked at once. The system's events are the
// test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/system/system_events.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

class TestSystemEvents final : public SystemEvents {
 public:
  [[nodiscard]] bool NetworkUsable() const override { return usable; }
  bool usable = true;
};

std::string Mail(std::string_view subject) {
  return "From: Ann\r\nSubject: " + std::string(subject) + "\r\n\r\nbody\r\n";
}

class SleepNetworkTest : public MainWindowTest {
 protected:
  TestAccount AccountOn(const MailboxPop3Server& server, std::string name) {
    TestAccount account;
    account.name = std::move(name);
    account.port = server.PortText();
    account.authMethod = "NONE";
    account.interval = 3600;
    return account;
  }
  void StartWatched() {
    MainWindowOptions options;
    options.systemEvents = &events_;
    Start(options);
  }

  TestSystemEvents events_;
};

TEST_F(SleepNetworkTest, AfterAResumeEachAccountIsCheckedOnceWhenTheNetworkIsUsableAndToldOnce) {
  MailboxPop3Server home;
  MailboxPop3Server work;
  home.AddMessage("h1", Mail("One"));
  home.AddMessage("h2", Mail("Two"));
  work.AddMessage("w1", Mail("Three"));
  AddAccount(AccountOn(home, "Home"));
  AddAccount(AccountOn(work, "Work"));
  settings_.Preset(kProgramKey, "Balloon", "True");
  StartWatched();
  std::vector<std::size_t> changes;
  window_->AddConnectivityListener(
      [&](MainWindow::ConnectivityChange change) { changes.push_back(std::size_t(change)); });

  events_.usable = false;
  events_.OnResume();
  Tick(10);
  EXPECT_EQ(home.SessionCount() + work.SessionCount(), 0u);
  events_.usable = true;
  events_.OnNetworkChanged();
  Tick(0);
  EXPECT_EQ(home.SessionCount(), 1u);
  EXPECT_EQ(work.SessionCount(), 0u);
  // Told again (logind and the clocks): the round goes on as it was.
  events_.OnResume();
  Tick(1);
  EXPECT_EQ(work.SessionCount(), 0u);
  Tick(2);
  EXPECT_EQ(work.SessionCount(), 1u);
  // One balloon for both; the log per account.
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(Balloons()[0].title, "New mail on Home, Work");
  EXPECT_EQ(Balloons()[0].text, "3 new mails");
  EXPECT_EQ(LogOf("Home")[4].rfind("2 new mails! (", 0), 0u);
  EXPECT_EQ(LogOf("Work")[4].rfind("1 new mails! (", 0), 0u);
  EXPECT_THAT(changes, ElementsAre(std::size_t(MainWindow::ConnectivityChange::kResumed),
                                   std::size_t(MainWindow::ConnectivityChange::kNetworkChanged)));

  // Then each interval starts again: nothing until an hour after its check.
  Tick(3590);
  EXPECT_EQ(home.SessionCount() + work.SessionCount(), 2u);
  Tick(10);
  EXPECT_EQ(home.SessionCount(), 2u);
  // A later check tells its news in a balloon of its own.
  work.AddMessage("w2", Mail("Four"));
  Tick(3);
  ASSERT_EQ(Balloons().size(), 2u);
  EXPECT_EQ(Balloons()[1].title, "New mail on Work");
}

TEST_F(SleepNetworkTest, WhenTheNetworkReturnsTheAccountsThatFailedAreCheckedAtOnce) {
  MailboxPop3Server server;
  TestAccount failing = AccountOn(server, "Failing");
  failing.port = ClosedPort();
  failing.interval = 60;
  AddAccount(failing);
  TestAccount working = AccountOn(server, "Working");
  working.interval = 60;
  AddAccount(working);
  StartWatched();
  Tick(60);
  ASSERT_THAT(window_->Outages().FailingAccounts(), ElementsAre("Failing"));
  Tick(1);
  const std::size_t sessions = server.SessionCount();

  window_->Table()[0].Port = server.Port();
  events_.OnNetworkChanged();
  Tick(0);
  EXPECT_EQ(server.SessionCount(), sessions + 1);
  EXPECT_THAT(window_->Outages().FailingAccounts(), ::testing::IsEmpty());
  // The working account waits for its interval.
  Tick(3);
  EXPECT_EQ(server.SessionCount(), sessions + 1);
}

}  // namespace
}  // namespace corvel::test

namespace corvel::test {
namespace {

TEST(SleepDetector, TellsASleepFromTheClocksDrawingApart) {
  SleepDetector detector;
  // The first look only notes the clocks.
  EXPECT_FALSE(detector.Slept(50000, 40000));
  // Both move on together: awake, whatever the time passed.
  EXPECT_FALSE(detector.Slept(950000, 940000));
  // Less than the shortest sleep worth telling.
  EXPECT_FALSE(detector.Slept(951999, 940000));
  // Asleep for an hour: the boot clock went on, the monotonic one did not.
  EXPECT_TRUE(detector.Slept(4551999, 940500));
  EXPECT_FALSE(detector.Slept(4552999, 941500));
}

}  // namespace
}  // namespace corvel::test
