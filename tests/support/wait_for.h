// WaitFor: pumps an EventLoop until a condition holds, with an upper bound.
// Tests wait for events this way instead of sleeping: the bound is only a
// safety net against a hang and is chosen generously.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "net/event_loop.h"

namespace corvel::test {

inline constexpr std::uint32_t kDefaultWaitMs = 10000;

// True as soon as done() holds; false if it still does not after timeoutMs.
template <typename Predicate>
bool WaitFor(EventLoop& loop, Predicate&& done, std::uint32_t timeoutMs = kDefaultWaitMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    const auto now = Clock::now();
    if (now >= deadline) return done();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    loop.ProcessEvents(static_cast<std::uint32_t>(std::clamp<long long>(left, 1, 50)));
  }
  return true;
}

}  // namespace corvel::test
