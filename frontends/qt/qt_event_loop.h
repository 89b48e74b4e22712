// QtEventLoop: the program's EventLoop on Qt's own event loop, so sockets,
// timers and posted tasks run between the window's events, and a blocking
// POP3 call that pumps the loop keeps the window and the tray alive.
//
// Posted tasks wait in a queue of our own (FIFO across nesting, taken one at
// a time) and a posted Qt event wakes the loop for them; timers are Qt
// timers of one helper object; sockets are QSocketNotifiers whose readiness
// is checked again with poll() right before the handler runs.
// ProcessEvents(maxWaitMs) sleeps in Qt's loop until an event arrives or the
// ceiling passes. Everything but Post() and Terminate() on the GUI thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <atomic>
#include <map>
#include <memory>

#include "net/event_loop.h"
#include "net/loop_parts.h"

namespace corvel::qt {

class QtEventLoop final : public QObject, public EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;

  void Post(Task task) override;
  TimerId StartTimer(std::uint32_t intervalMs, Task onExpiry) override;
  void StopTimer(TimerId id) override;
  void WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) override;
  void UpdateSocket(SocketHandle socket, unsigned interest) override;
  void UnwatchSocket(SocketHandle socket) override;
  bool ProcessEvents(std::uint32_t maxWaitMs) override;
  // Also ends the Qt application's loop.
  void Terminate() override;
  [[nodiscard]] bool Terminated() const override { return terminated_.load(); }

 protected:
  bool event(QEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  struct Watch {
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
    unsigned interest = 0;
    std::shared_ptr<IoHandler> handler;
  };

  bool RunPostedTasks();
  void SocketActivated(SocketHandle socket);
  void SetInterest(Watch& watch, unsigned interest);

  PostedTaskQueue posted_;
  std::atomic<bool> terminated_{false};
  // Qt timer id -> our timer.
  std::map<int, std::shared_ptr<LoopTimer>> timers_;
  std::map<SocketHandle, Watch> watches_;
  // Counts the work run, so ProcessEvents can say whether anything ran.
  std::uint64_t workDone_ = 0;
};

}  // namespace corvel::qt
