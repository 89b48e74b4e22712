// TrayTimer: the tray icon component's lightweight periodic timer, on an
// EventLoop timer. It drives the icon animation and the wait for a second
// click of a double click.
//
// Rules the component relies on:
// - the interval defaults to 1000 ms;
// - Start() with an interval of 0 does nothing (the timer stays disabled);
// - Start() on a running timer restarts it: the next expiry comes a full
//   interval after the call;
// - a new interval on an enabled timer restarts it with that interval; 0
//   stops it but leaves it marked enabled, and a later non-zero interval
//   starts it again;
// - Stop() stops it and clears the enabled state.
//
// OnTimer runs on the loop thread, once per expiry. The handler may stop,
// restart or destroy the timer.
#pragma once

#include <cstdint>
#include <functional>

#include "net/event_loop.h"

namespace corvel {

class TrayTimer {
 public:
  static constexpr std::uint32_t kDefaultInterval = 1000;

  explicit TrayTimer(EventLoop& loop);
  ~TrayTimer();
  TrayTimer(const TrayTimer&) = delete;
  TrayTimer& operator=(const TrayTimer&) = delete;

  [[nodiscard]] std::uint32_t Interval() const { return interval_; }
  void SetInterval(std::uint32_t intervalMs);

  // Marked enabled by a Start() that started, cleared by Stop().
  [[nodiscard]] bool Enabled() const { return enabled_; }
  // An expiry is pending: enabled and with a non-zero interval.
  [[nodiscard]] bool Running() const { return timerId_ != 0; }

  void Start();
  void Stop();

  std::function<void()> OnTimer;

 private:
  void StartLoopTimer();
  void StopLoopTimer();
  void Expired();

  EventLoop& loop_;
  std::uint32_t interval_ = kDefaultInterval;
  bool enabled_ = false;
  EventLoop::TimerId timerId_ = 0;
};

}  // namespace corvel
