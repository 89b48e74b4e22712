// Pieces every EventLoop needs in the same way, so each loop keeps the same
// rules: posted tasks run in the order they were posted, also across nested
// ProcessEvents() calls, and a timer's handler is never entered again while
// it still runs.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "net/event_loop.h"

namespace corvel {

// The queue of posted tasks. Push() is thread-safe; RunQueued() runs on the
// loop thread.
class PostedTaskQueue {
 public:
  // Queues the task. True when the loop needs a wake-up for it: the first
  // task pushed since RunQueued() last began (later ones ride on the same
  // wake-up). A loop that looks at Empty() before it sleeps may ignore it.
  bool Push(EventLoop::Task task);
  [[nodiscard]] bool Empty() const;
  // Runs the tasks queued when it was called, oldest first, and returns
  // whether any ran. A task posted meanwhile waits for the next call (no
  // endless turn), and a nested call that ran some of them first is no
  // harm: each task is taken from the queue just before it runs.
  bool RunQueued();

 private:
  mutable std::mutex mutex_;
  std::deque<EventLoop::Task> tasks_;
  bool wakePending_ = false;
};

// A timer's handler and whether it is running now.
struct LoopTimer {
  explicit LoopTimer(EventLoop::Task task)
      : handler(std::make_shared<EventLoop::Task>(std::move(task))) {}
  std::shared_ptr<EventLoop::Task> handler;
  bool running = false;
};

// Runs the timer's handler unless it is already running (a nested loop
// inside the handler reached the timer again). The timer may be stopped,
// and the object the caller held freed, by the handler itself: the shared
// pointer keeps it for the call. Returns whether the handler ran.
bool RunTimerHandler(const std::shared_ptr<LoopTimer>& timer);

}  // namespace corvel
