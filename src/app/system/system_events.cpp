#include "app/system/system_events.h"

namespace corvel {

bool SleepDetector::Slept(std::int64_t bootMs, std::int64_t monotonicMs) {
  const std::int64_t difference = bootMs - monotonicMs;
  const bool slept = lastDifference_ && difference - *lastDifference_ >= kSleepMs;
  // The two clocks are slewed alike; only the time asleep moves them apart.
  lastDifference_ = difference;
  return slept;
}

}  // namespace corvel
