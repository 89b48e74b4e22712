#include "net/loop_parts.h"

#include <utility>

namespace corvel {

bool PostedTaskQueue::Push(EventLoop::Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  const bool wake = !wakePending_;
  wakePending_ = true;
  return wake;
}

bool PostedTaskQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return tasks_.empty();
}

bool PostedTaskQueue::RunQueued() {
  std::size_t count;
  {
    std::lock_guard lock(mutex_);
    wakePending_ = false;
    count = tasks_.size();
  }
  bool ran = false;
  for (std::size_t i = 0; i < count; ++i) {
    EventLoop::Task task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) break;  // a nested ProcessEvents() ran the rest
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    ran = true;
    if (task) task();
  }
  return ran;
}

bool RunTimerHandler(const std::shared_ptr<LoopTimer>& timer) {
  if (timer->running) return false;
  const std::shared_ptr<LoopTimer> keep = timer;
  const std::shared_ptr<EventLoop::Task> handler = keep->handler;
  struct RunningGuard {
    LoopTimer& timer;
    ~RunningGuard() { timer.running = false; }
  } guard{*keep};
  keep->running = true;
  if (*handler) (*handler)();
  return true;
}

}  // namespace corvel
