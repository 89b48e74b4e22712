#include "app/tray/tray_timer.h"

namespace corvel {

TrayTimer::TrayTimer(EventLoop& loop) : loop_(loop) {}

TrayTimer::~TrayTimer() { StopLoopTimer(); }

void TrayTimer::SetInterval(std::uint32_t intervalMs) {
  if (intervalMs == interval_) return;
  interval_ = intervalMs;
  if (!enabled_) return;
  StopLoopTimer();
  if (interval_ != 0) StartLoopTimer();
}

void TrayTimer::Start() {
  if (interval_ == 0) return;
  StopLoopTimer();
  enabled_ = true;
  StartLoopTimer();
}

void TrayTimer::Stop() {
  StopLoopTimer();
  enabled_ = false;
}

void TrayTimer::StartLoopTimer() {
  timerId_ = loop_.StartTimer(interval_, [this] { Expired(); });
}

void TrayTimer::StopLoopTimer() {
  if (timerId_ == 0) return;
  loop_.StopTimer(timerId_);
  timerId_ = 0;
}

void TrayTimer::Expired() {
  // A copy, because the handler may destroy this timer (and OnTimer with it);
  // nothing of the timer is touched after the call.
  if (!OnTimer) return;
  const std::function<void()> handler = OnTimer;
  handler();
}

}  // namespace corvel
