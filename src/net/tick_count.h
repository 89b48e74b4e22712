// The 32-bit millisecond tick count: a monotonic clock that wraps to 0 after
// about 49.7 days. Deadlines are kept as "now - start < limit" in unsigned
// arithmetic, which stays right across the wrap. Seen-message file names use
// it too.
#pragma once

#include <cstdint>

namespace corvel {

[[nodiscard]] std::uint32_t TickCount();

// Milliseconds from `start` to `now`, correct across one wrap of the count.
[[nodiscard]] constexpr std::uint32_t TicksSince(std::uint32_t start, std::uint32_t now) {
  return now - start;
}

}  // namespace corvel
