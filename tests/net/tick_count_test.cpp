#include "net/tick_count.h"

#include <gtest/gtest.h>

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#endif

namespace corvel {
namespace {

#ifdef _WIN32
TEST(TickCount, IsTheSystemsTickCount) {
  const std::uint32_t before = ::GetTickCount();
  const std::uint32_t ticks = TickCount();
  const std::uint32_t after = ::GetTickCount();
  EXPECT_LE(TicksSince(before, ticks), TicksSince(before, after));
}
#else
TEST(TickCount, FollowsTheSteadyClockInMilliseconds) {
  using namespace std::chrono;
  auto before = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  std::uint32_t ticks = TickCount();
  auto after = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  EXPECT_LE(TicksSince(static_cast<std::uint32_t>(before), ticks),
            static_cast<std::uint32_t>(after - before));
}
#endif

TEST(TickCount, NeverGoesBackwards) {
  std::uint32_t first = TickCount();
  std::uint32_t second = TickCount();
  EXPECT_LT(TicksSince(first, second), 60000u);
}

TEST(TicksSince, StaysRightAcrossTheWrap) {
  EXPECT_EQ(TicksSince(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(TicksSince(100u, 250u), 150u);
  EXPECT_EQ(TicksSince(0u, 0u), 0u);
}

}  // namespace
}  // namespace corvel
