#include "app/tray/tray_timer.h"

#include <gtest/gtest.h>

#include <memory>

#include "fake_event_loop.h"

namespace corvel {
namespace {

using testing::FakeEventLoop;

struct TimerFixture : ::testing::Test {
  FakeEventLoop loop;
  TrayTimer timer{loop};
  int fired = 0;
  void SetUp() override {
    timer.OnTimer = [this] { ++fired; };
  }
};

using TrayTimerRules = TimerFixture;

TEST_F(TrayTimerRules, DefaultIntervalIsOneSecondAndTimerStartsDisabled) {
  EXPECT_EQ(timer.Interval(), 1000u);
  EXPECT_FALSE(timer.Enabled());
  EXPECT_FALSE(timer.Running());
  loop.Advance(5000);
  EXPECT_EQ(fired, 0);
}

TEST_F(TrayTimerRules, StartedTimerFiresOncePerInterval) {
  timer.Start();
  EXPECT_TRUE(timer.Enabled());
  loop.Advance(999);
  EXPECT_EQ(fired, 0);
  loop.Advance(1);
  EXPECT_EQ(fired, 1);
  loop.Advance(3000);
  EXPECT_EQ(fired, 4);
}

TEST_F(TrayTimerRules, StartWithIntervalZeroDoesNothing) {
  timer.SetInterval(0);
  timer.Start();
  EXPECT_FALSE(timer.Enabled());
  EXPECT_FALSE(timer.Running());
  EXPECT_EQ(loop.StartedTimerCount(), 0u);
  // Not marked enabled, so a later interval does not start it either.
  timer.SetInterval(100);
  loop.Advance(1000);
  EXPECT_EQ(fired, 0);
}

TEST_F(TrayTimerRules, StartWhileRunningRestartsTheFullInterval) {
  timer.Start();
  loop.Advance(700);
  timer.Start();
  loop.Advance(700);  // 1400 ms in total, but only 700 since the restart
  EXPECT_EQ(fired, 0);
  loop.Advance(300);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop.ActiveTimerCount(), 1u);
}

TEST_F(TrayTimerRules, NewIntervalOnRunningTimerRestartsWithIt) {
  timer.Start();
  loop.Advance(900);
  timer.SetInterval(250);
  loop.Advance(249);
  EXPECT_EQ(fired, 0);
  loop.Advance(1);
  EXPECT_EQ(fired, 1);
  loop.Advance(500);
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(loop.ActiveTimerCount(), 1u);
}

TEST_F(TrayTimerRules, IntervalZeroStopsRunningTimerButKeepsItEnabled) {
  timer.Start();
  timer.SetInterval(0);
  EXPECT_TRUE(timer.Enabled());
  EXPECT_FALSE(timer.Running());
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
  loop.Advance(5000);
  EXPECT_EQ(fired, 0);
  // Still enabled: a new interval brings it back.
  timer.SetInterval(400);
  loop.Advance(400);
  EXPECT_EQ(fired, 1);
}

TEST_F(TrayTimerRules, NewIntervalOnStoppedTimerDoesNotStartIt) {
  timer.SetInterval(100);
  loop.Advance(1000);
  EXPECT_EQ(fired, 0);
  timer.Start();
  loop.Advance(100);
  EXPECT_EQ(fired, 1);
}

TEST_F(TrayTimerRules, StopClearsEnabledAndEndsExpiries) {
  timer.Start();
  loop.Advance(1000);
  timer.Stop();
  EXPECT_FALSE(timer.Enabled());
  EXPECT_FALSE(timer.Running());
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
  loop.Advance(5000);
  EXPECT_EQ(fired, 1);
  timer.SetInterval(10);  // not enabled any more: stays stopped
  loop.Advance(100);
  EXPECT_EQ(fired, 1);
}

TEST_F(TrayTimerRules, HandlerMayStopItsOwnTimer) {
  timer.OnTimer = [this] {
    ++fired;
    timer.Stop();
  };
  timer.Start();
  loop.Advance(10000);
  EXPECT_EQ(fired, 1);
}

TEST(TrayTimerLifetime, HandlerMayDestroyItsOwnTimer) {
  FakeEventLoop loop;
  auto timer = std::make_unique<TrayTimer>(loop);
  int fired = 0;
  timer->OnTimer = [&] {
    ++fired;
    timer.reset();
  };
  timer->Start();
  loop.Advance(5000);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
}

TEST(TrayTimerLifetime, DestructionStopsTheLoopTimer) {
  FakeEventLoop loop;
  {
    TrayTimer timer(loop);
    timer.Start();
    EXPECT_EQ(loop.ActiveTimerCount(), 1u);
  }
  EXPECT_EQ(loop.ActiveTimerCount(), 0u);
  loop.Advance(5000);  // nothing left that could call into the destroyed timer
}

}  // namespace
}  // namespace corvel
