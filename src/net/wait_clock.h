// The time the blocking calls of a client wait by: a 32-bit millisecond tick
// source (TickCount unless a test replaces it, e.g. to put the clock near its
// wrap) and an optional bound on the total time of all the calls from the
// moment it was set. Spans are compared as unsigned differences of the tick
// count, so they stay right across its wrap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "net/tick_count.h"

namespace corvel {

class WaitClock {
 public:
  using TickSource = std::function<std::uint32_t()>;

  // A wait pumps the loop at most this long at a time, so that its bounds
  // and the loop's termination are looked at now and then.
  static constexpr std::uint32_t kWaitCeilingMs = 1000;

  WaitClock() : tickSource_(&TickCount) {}

  // An empty source brings TickCount back.
  void SetTickSource(TickSource source) {
    tickSource_ = source ? std::move(source) : TickSource(&TickCount);
  }
  [[nodiscard]] std::uint32_t Now() const { return tickSource_(); }

  // The total bound, counted from now on; nullopt lifts it.
  void LimitTotalTime(std::optional<std::uint64_t> ms) {
    totalStart_ = Now();
    totalLimitMs_ = ms;
  }
  [[nodiscard]] std::optional<std::uint64_t> TotalTimeLimit() const { return totalLimitMs_; }

  // Whether `limitMs` from `start` have passed; when not, `waitMs` is lowered
  // to what is left of them.
  [[nodiscard]] bool Passed(std::uint32_t start, std::uint64_t limitMs,
                            std::uint32_t& waitMs) const {
    const std::uint32_t spentMs = TicksSince(start, Now());
    if (spentMs >= limitMs) return true;
    waitMs = static_cast<std::uint32_t>(std::min<std::uint64_t>(waitMs, limitMs - spentMs));
    return false;
  }
  // The same for the total bound; false while there is none.
  [[nodiscard]] bool TotalPassed(std::uint32_t& waitMs) const {
    return totalLimitMs_ && Passed(totalStart_, *totalLimitMs_, waitMs);
  }

 private:
  TickSource tickSource_;
  std::uint32_t totalStart_ = 0;
  std::optional<std::uint64_t> totalLimitMs_;
};

}  // namespace corvel
