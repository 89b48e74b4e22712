// When accounts are checked: counted on a test clock, with checks that take
// the time the test gives them.
#include "checker/check_scheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <vector>

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

class QuietHost final : public CheckHost {
 public:
  void WriteLog(std::string_view, std::string_view) override {}
  [[nodiscard]] bool EditorOpen() const override { return editorOpen; }
  [[nodiscard]] bool OptionChecked(CheckOption) const override { return false; }
  void BalloonNotify(std::string_view, std::string_view, int, int) override {}
  void SetMailAnimation(bool) override {}
  void ClearProtocolTrace() override {}
  [[nodiscard]] std::string NowDateTimeText() const override { return {}; }
  [[nodiscard]] std::uint32_t TickCount() const override { return 0; }
  [[nodiscard]] bool FastListing() const override { return true; }
  [[nodiscard]] std::int64_t CheckDeadlineSeconds() const override { return 0; }
  bool editorOpen = false;
};

class CheckSchedulerTest : public ::testing::Test {
 protected:
  void Add(std::int32_t interval, bool enabled = true) {
    AccountRecord& record = table_[count_];
    record.Enabled = enabled ? 1 : 0;
    record.SetPlainPassword("pw");
    record.SetPlainAccountName("A" + std::to_string(count_));
    record.SetPlainUidlFileName("a" + std::to_string(count_) + ".uidl");
    record.Interval = interval;
    ++count_;
  }
  // Moves the clock to when the scheduler wants to run next, and ticks.
  void RunUntilDue() {
    now_ += scheduler_.WaitMs().value();
    scheduler_.TimerTimer();
  }

  AccountTable table_;
  std::size_t count_ = 0;
  QuietHost host_;
  std::uint64_t now_ = 5000;
  // Each check takes this long and reaches the server.
  std::uint64_t checkMs_ = 0;
  CheckOutcome outcome_ = CheckOutcome::Checked;
  std::vector<std::size_t> checked_;
  CheckScheduler scheduler_{table_, host_,
                            [this](std::size_t index) {
                              now_ += checkMs_;
                              checked_.push_back(index);
                              table_[index].Elapsed = 0;
                              return outcome_;
                            },
                            [this] { return now_; }};
};

TEST_F(CheckSchedulerTest, CountsWholeSecondsOfTheClockAndSleepsUntilTheNextAccountIsDue) {
  Add(3600);
  Add(10, false);
  scheduler_.StartCounting();
  EXPECT_EQ(scheduler_.WaitMs(), 3600000u);
  now_ += 1500;
  scheduler_.TimerTimer();
  EXPECT_EQ(table_[0].Elapsed, 1);
  EXPECT_EQ(table_[1].Elapsed, 0);
  EXPECT_EQ(scheduler_.WaitMs(), 3598500u);  // the half second is carried
  // The editor open: nothing counts.
  scheduler_.StopCounting();
  now_ += 100000;
  scheduler_.StartCounting();
  EXPECT_EQ(scheduler_.WaitMs(), 3599000u);
  RunUntilDue();
  EXPECT_THAT(checked_, ElementsAre(0u));
  EXPECT_EQ(table_[0].Elapsed, 0);
}

TEST_F(CheckSchedulerTest, EveryDueAccountHasItsTurnWhateverItsPlaceInTheTable) {
  for (int i = 0; i < 20; ++i) Add(10);
  checkMs_ = 300;
  scheduler_.StartCounting();
  const std::uint64_t end = now_ + 30 * 60 * 1000;
  while (now_ < end) RunUntilDue();
  std::map<std::size_t, int> checks;
  for (const std::size_t index : checked_) ++checks[index];
  ASSERT_EQ(checks.size(), 20u);
  const auto [fewest, most] = std::minmax_element(
      checks.begin(), checks.end(), [](auto& a, auto& b) { return a.second < b.second; });
  EXPECT_LE(most->second - fewest->second, 1);
  // Twenty checks of 0.3 s each fit in every 10 s and the next interval.
  EXPECT_GE(fewest->second, 100);
}

TEST_F(CheckSchedulerTest, ARoundWaitsForTheNetworkThenChecksEachAccountOnceAFewSecondsApart) {
  Add(600);
  Add(600);
  Add(600, false);
  scheduler_.StartCounting();
  now_ += 599000;
  scheduler_.TimerTimer();
  scheduler_.StartRound(true);
  // Held: not checked for its interval while the round waits.
  now_ += 5000;
  scheduler_.TimerTimer();
  EXPECT_TRUE(checked_.empty());
  EXPECT_EQ(scheduler_.WaitMs(), CheckScheduler::kNetworkWaitMs - 5000);
  scheduler_.NetworkUsable();
  RunUntilDue();
  EXPECT_THAT(checked_, ElementsAre(0u));
  const std::uint64_t first = now_;
  RunUntilDue();
  EXPECT_THAT(checked_, ElementsAre(0u, 1u));
  EXPECT_EQ(now_ - first, CheckScheduler::kRoundSpacingMs);
  EXPECT_FALSE(scheduler_.RoundActive());
  // Both intervals began anew.
  EXPECT_EQ(scheduler_.WaitMs(), 600000u - CheckScheduler::kRoundSpacingMs);
}

TEST_F(CheckSchedulerTest, ARoundThatWaitsInVainChecksAllTheSameAtItsLimit) {
  Add(3600);
  scheduler_.StartCounting();
  scheduler_.StartRound(true);
  RunUntilDue();
  EXPECT_THAT(checked_, ElementsAre(0u));
  EXPECT_EQ(now_, 5000 + CheckScheduler::kNetworkWaitMs);
}

TEST_F(CheckSchedulerTest, AnAccountMadeDueIsCheckedAtOnceAndOnlyOncePerTick) {
  Add(3600);
  Add(3600);
  scheduler_.StartCounting();
  scheduler_.CheckSoon(1);
  EXPECT_EQ(scheduler_.WaitMs(), 0u);
  scheduler_.TimerTimer();
  EXPECT_THAT(checked_, ElementsAre(1u));
  // A login method found: the account is due again at once.
  outcome_ = CheckOutcome::MethodDiscovered;
  table_[0].SetPlainAuthMethod("APOP");
  scheduler_.CheckSoon(0);
  scheduler_.TimerTimer();
  EXPECT_EQ(scheduler_.WaitMs(), 0u);
  outcome_ = CheckOutcome::Checked;
  scheduler_.TimerTimer();
  EXPECT_THAT(checked_, ElementsAre(1u, 0u, 0u));
  EXPECT_EQ(scheduler_.WaitMs(), 3600000u);
}

}  // namespace
}  // namespace corvel::test
