// PollEventLoop: the EventLoop of POSIX builds, on poll().
//
// Posted tasks wait in a mutex-guarded FIFO; a Post() from another thread
// than the one running the loop writes to a wake-up descriptor (an eventfd,
// or a self-pipe where there is none) so that a ProcessEvents() sleeping in
// poll() returns at once. The loop's own thread is never asleep while it
// posts, and its next poll() does not wait while tasks are queued. Timers run on the
// steady clock. Sockets are watched level-triggered; hang-up and error are
// always reported (on Linux the peer's half-close too, so a close is seen
// even while unread data is waiting).
//
// ProcessEvents() runs, in this order: the tasks that were queued when it
// started, taken one at a time so that a nested ProcessEvents() continues the
// same FIFO; the handlers of ready sockets, each re-checked with a zero-time
// poll of its own descriptor just before it runs unless nothing has run
// since the poll that found it ready; the expired timers, none of
// which is entered again while its handler is still running. Watches and
// timers removed by a handler are skipped from then on. A socket handler, unlike
// a timer, may run again inside a nested ProcessEvents() when its socket is
// still ready, as a socket notification would be dispatched again by a nested
// message loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>

#include "net/event_loop.h"
#include "net/loop_parts.h"

namespace corvel {

class PollEventLoop final : public EventLoop {
 public:
  // Throws std::system_error when the wake-up descriptor cannot be made.
  PollEventLoop();
  ~PollEventLoop() override;
  PollEventLoop(const PollEventLoop&) = delete;
  PollEventLoop& operator=(const PollEventLoop&) = delete;

  void Post(Task task) override;
  TimerId StartTimer(std::uint32_t intervalMs, Task onExpiry) override;
  void StopTimer(TimerId id) override;
  void WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) override;
  void UpdateSocket(SocketHandle socket, unsigned interest) override;
  void UnwatchSocket(SocketHandle socket) override;
  bool ProcessEvents(std::uint32_t maxWaitMs) override;
  void Terminate() override;
  [[nodiscard]] bool Terminated() const override;
  [[nodiscard]] bool ReportsPeerClose() const override;

 private:
  using Clock = std::chrono::steady_clock;

  struct Timer : LoopTimer {
    Timer(std::chrono::milliseconds every, Task task)
        : LoopTimer(std::move(task)), interval(every), due(Clock::now() + every) {}
    std::chrono::milliseconds interval;
    Clock::time_point due;
  };
  struct Watch {
    unsigned interest = 0;
    std::uint64_t serial = 0;  // tells a replaced watch of the same descriptor apart
    std::shared_ptr<IoHandler> handler;
  };

  void Wake();
  void DrainWake();
  [[nodiscard]] int PollTimeout(std::uint32_t maxWaitMs) const;
  // `fresh`: nothing has run since the poll that found them ready.
  bool RunReadySockets(const void* pollFds, std::size_t count, bool fresh);
  bool RunDueTimers();

  int wakeRead_ = -1;
  int wakeWrite_ = -1;  // the same descriptor as wakeRead_ for an eventfd

  PostedTaskQueue posted_;
  std::atomic<bool> terminated_{false};
  // The thread that last entered ProcessEvents().
  std::atomic<std::thread::id> loopThread_{};

  std::map<TimerId, std::shared_ptr<Timer>> timers_;
  TimerId nextTimerId_ = 1;
  std::map<SocketHandle, std::shared_ptr<Watch>> watches_;
  std::uint64_t nextWatchSerial_ = 1;
};

}  // namespace corvel
