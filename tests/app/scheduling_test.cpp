// The running program between checks: asleep until an account is due, and
// every account checked when its interval has passed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "fake_event_loop.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::IsEmpty;

class SchedulingTest : public MainWindowTest {
 protected:
  TestAccount AccountOn(const MailboxPop3Server& server, std::int32_t interval) {
    TestAccount account;
    account.port = server.PortText();
    account.authMethod = "NONE";
    account.interval = interval;
    return account;
  }
};

TEST_F(SchedulingTest, TheProgramSleepsUntilTheAccountIsDue) {
  TestAccount hourly;
  hourly.interval = 3600;
  AddAccount(hourly);
  testing::FakeEventLoop loop;
  MainWindowOptions options;
  options.monotonicClock = [&loop] { return loop.Now(); };
  options.clock = [] { return FixedMoment(); };
  MainWindow window(loop, view_, shell_, settings_, locale_, options);
  window.FormCreate();
  // One timer, for when the account is due: no wake-up each second.
  ASSERT_EQ(loop.ActiveTimerCount(), 1u);
  std::optional<std::uint64_t> due;
  for (EventLoop::TimerId id = 1; id <= loop.StartedTimerCount(); ++id) {
    if (loop.DueOf(id)) due = loop.DueOf(id);
  }
  EXPECT_EQ(due, 3600000u);
  loop.Advance(3599000);
  EXPECT_EQ(window.Table()[0].Elapsed, 0);
}

// `corvel accounts set Home --interval 10`, meanwhile.
void LowerIntervalElsewhere() {
  AccountFile file;
  file.Open();
  AccountRecord record = file.ReadRecord(0);
  record.Interval = 10;
  file.WriteRecord(0, record);
  file.Close();
  // A moment later than the program's own read: some file systems keep the
  // time of a file to the second.
  std::filesystem::last_write_time(
      kAccountsFileName, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(2));
}

TEST_F(SchedulingTest, AnIntervalLoweredBelowTheCountMakesTheAccountDue) {
  MailboxPop3Server server;
  AddAccount(AccountOn(server, 300));
  Start();
  Tick(50);
  EXPECT_EQ(server.SessionCount(), 0u);
  LowerIntervalElsewhere();
  Tick();
  EXPECT_EQ(server.SessionCount(), 1u);
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

TEST_F(SchedulingTest, TheRunningProgramLooksAtAccountsChangedElsewhereAtOnce) {
  MailboxPop3Server server;
  AddAccount(AccountOn(server, 300));
  MainWindowOptions options;
  options.longRunning = true;
  Start(options);
  Tick(50);
  LowerIntervalElsewhere();
  // No tick of the test's: the change itself wakes the program.
  EXPECT_TRUE(WaitFor(loop_, [&] { return server.SessionCount() == 1; }));
}

}  // namespace
}  // namespace corvel::test
