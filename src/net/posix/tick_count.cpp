#include "net/tick_count.h"

#include <chrono>

namespace corvel {

std::uint32_t TickCount() {
  auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

}  // namespace corvel
