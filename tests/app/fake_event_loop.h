// FakeEventLoop: an EventLoop with a manual clock, for tests of timers and of
// anything that waits on them (the tray animation, the wait for a second
// click). Time moves only when the test says so, so no test depends on the
// speed of the machine.
//
// Advance(ms) moves the clock forward and fires every timer that falls due
// on the way, in time order (at equal times in the order they were started),
// each as often as it falls due; posted tasks run before each timer and at
// the end. ProcessEvents() runs what is pending and, when nothing is, lets
// the clock jump to the next timer within the given wait. Sockets are not
// supported: a test that watches one fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "net/event_loop.h"

namespace corvel::testing {

class FakeEventLoop final : public EventLoop {
 public:
  void Post(Task task) override { posted_.push_back(std::move(task)); }

  TimerId StartTimer(std::uint32_t intervalMs, Task onExpiry) override {
    const TimerId id = ++lastId_;
    // A zero period would fire without end; a real loop fires it at its
    // shortest granularity.
    const std::uint32_t period = intervalMs == 0 ? 1 : intervalMs;
    timers_[id] =
        Timer{intervalMs, period, now_ + period, std::make_shared<Task>(std::move(onExpiry))};
    ++startedCount_;
    return id;
  }

  void StopTimer(TimerId id) override { timers_.erase(id); }

  void WatchSocket(SocketHandle, unsigned, IoHandler) override {
    ADD_FAILURE() << "FakeEventLoop does not watch sockets";
  }
  void UpdateSocket(SocketHandle, unsigned) override {
    ADD_FAILURE() << "FakeEventLoop does not watch sockets";
  }
  void UnwatchSocket(SocketHandle) override {}

  bool ProcessEvents(std::uint32_t maxWaitMs) override {
    bool ran = RunPosted();
    if (FireOneDueBy(now_)) {
      while (FireOneDueBy(now_)) {
      }
      RunPosted();
      return true;
    }
    if (ran || terminated_) return ran;
    const std::optional<std::uint64_t> next = NextDue();
    if (!next || *next > now_ + maxWaitMs) {
      now_ += maxWaitMs;
      return false;
    }
    now_ = *next;
    while (FireOneDueBy(now_)) {
    }
    RunPosted();
    return true;
  }

  void Terminate() override { terminated_ = true; }
  [[nodiscard]] bool Terminated() const override { return terminated_; }

  // ---- The manual clock.
  [[nodiscard]] std::uint64_t Now() const { return now_; }

  void Advance(std::uint64_t ms) {
    const std::uint64_t target = now_ + ms;
    RunPosted();
    while (true) {
      const std::optional<std::uint64_t> next = NextDue();
      if (!next || *next > target) break;
      now_ = *next;
      FireOneDueBy(now_);
      RunPosted();
    }
    now_ = target;
  }

  // ---- Inspection.
  [[nodiscard]] std::size_t ActiveTimerCount() const { return timers_.size(); }
  [[nodiscard]] std::size_t StartedTimerCount() const { return startedCount_; }
  [[nodiscard]] bool IsActive(TimerId id) const { return timers_.count(id) != 0; }
  // The interval a running timer was started with.
  [[nodiscard]] std::optional<std::uint32_t> IntervalOf(TimerId id) const {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return std::nullopt;
    return found->second.interval;
  }
  // When a running timer fires next.
  [[nodiscard]] std::optional<std::uint64_t> DueOf(TimerId id) const {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return std::nullopt;
    return found->second.due;
  }
  [[nodiscard]] std::size_t PendingTaskCount() const { return posted_.size(); }

 private:
  struct Timer {
    std::uint32_t interval;
    std::uint32_t period;
    std::uint64_t due;
    std::shared_ptr<Task> task;  // shared so a handler that stops its timer keeps running
  };

  bool RunPosted() {
    bool ran = false;
    while (!posted_.empty()) {
      Task task = std::move(posted_.front());
      posted_.pop_front();
      if (task) task();
      ran = true;
    }
    return ran;
  }

  [[nodiscard]] std::optional<std::uint64_t> NextDue() const {
    std::optional<std::uint64_t> next;
    for (const auto& [id, timer] : timers_) {
      if (!next || timer.due < *next) next = timer.due;
    }
    return next;
  }

  // Fires the earliest timer due at or before `time` (lowest id among equal
  // times); false when none is due.
  bool FireOneDueBy(std::uint64_t time) {
    auto chosen = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.due > time) continue;
      if (chosen == timers_.end() || it->second.due < chosen->second.due) chosen = it;
    }
    if (chosen == timers_.end()) return false;
    chosen->second.due += chosen->second.period;
    const std::shared_ptr<Task> task = chosen->second.task;
    if (*task) (*task)();
    return true;
  }

  std::uint64_t now_ = 0;
  TimerId lastId_ = 0;
  std::size_t startedCount_ = 0;
  std::map<TimerId, Timer> timers_;
  std::deque<Task> posted_;
  bool terminated_ = false;
};

}  // namespace corvel::testing
