// The system's power and network events, as the running program needs them:
// after the machine woke from sleep every account is checked once, and when
// the network comes back the accounts that failed without it are checked at
// once; connections held open (IMAP IDLE) are opened anew after either.
//
// Implementations: posix/system_events.cpp (Linux: a netlink socket for
// address and route changes, and a jump between CLOCK_BOOTTIME and
// CLOCK_MONOTONIC for a resume, looked at when the system clock is set (a
// resume sets it), at every network event and at every check timer tick),
// win32/system_events.cpp (WM_POWERBROADCAST, NotifyAddrChange); tests fire
// the events themselves. On Linux the kernel sets the clock on every resume,
// so the resume is seen at once without asking logind.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "net/event_loop.h"

namespace corvel {

class SystemEvents {
 public:
  virtual ~SystemEvents() = default;

  // Run on the loop thread. The machine woke from sleep or hibernation.
  std::function<void()> OnResume;
  // Run on the loop thread. The network came, went or changed (addresses,
  // default routes).
  std::function<void()> OnNetworkChanged;

  // Whether a server can be reached as far as the system tells (a default
  // route); true when it cannot tell.
  [[nodiscard]] virtual bool NetworkUsable() const { return true; }

  // Looks for what the system does not announce (a resume seen from the
  // clocks); the program calls it whenever it wakes for its own reasons.
  virtual void LookAgain() {}
};

// The system's own events; one that reports nothing where there is no way to
// watch them.
[[nodiscard]] std::unique_ptr<SystemEvents> WatchSystemEvents(EventLoop& loop);

// Tells a resume from the clocks: CLOCK_BOOTTIME counts the time asleep,
// CLOCK_MONOTONIC does not, so their difference grows by the time asleep.
class SleepDetector {
 public:
  // A shorter sleep is not worth telling.
  static constexpr std::int64_t kSleepMs = 2000;

  // True when the difference of the two clocks (milliseconds) has grown by
  // kSleepMs or more since the last look; the first look only notes it.
  bool Slept(std::int64_t bootMs, std::int64_t monotonicMs);

 private:
  std::optional<std::int64_t> lastDifference_;
};

}  // namespace corvel
