#include "qt/qt_event_loop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>

#include "net/posix/poll_readiness.h"

namespace corvel::qt {

namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

QtEventLoop::QtEventLoop() = default;

QtEventLoop::~QtEventLoop() {
  for (auto& [qtId, timer] : timers_) killTimer(qtId);
}

void QtEventLoop::Post(Task task) {
  // postEvent is thread-safe and wakes a sleeping Qt loop.
  if (posted_.Push(std::move(task))) QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
}

bool QtEventLoop::event(QEvent* event) {
  if (event->type() != kWakeEvent) return QObject::event(event);
  RunPostedTasks();
  return true;
}

bool QtEventLoop::RunPostedTasks() {
  const bool ran = posted_.RunQueued();
  if (ran) ++workDone_;
  return ran;
}

EventLoop::TimerId QtEventLoop::StartTimer(std::uint32_t intervalMs, Task onExpiry) {
  const int qtId = startTimer(static_cast<int>(std::max<std::uint32_t>(intervalMs, 1)));
  timers_[qtId] = std::make_shared<LoopTimer>(std::move(onExpiry));
  return static_cast<TimerId>(qtId);
}

void QtEventLoop::StopTimer(TimerId id) {
  const auto found = timers_.find(static_cast<int>(id));
  if (found == timers_.end()) return;
  killTimer(found->first);
  timers_.erase(found);
}

void QtEventLoop::timerEvent(QTimerEvent* event) {
  const int qtId = event->timerId();
  const auto found = timers_.find(qtId);
  if (found == timers_.end()) return;
  if (RunTimerHandler(found->second)) ++workDone_;
}

void QtEventLoop::WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) {
  UnwatchSocket(socket);
  Watch& watch = watches_[socket];
  watch.handler = std::make_shared<IoHandler>(std::move(handler));
  watch.read = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
  watch.write = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
  QObject::connect(watch.read.get(), &QSocketNotifier::activated, this,
                   [this, socket] { SocketActivated(socket); });
  QObject::connect(watch.write.get(), &QSocketNotifier::activated, this,
                   [this, socket] { SocketActivated(socket); });
  SetInterest(watch, interest);
}

void QtEventLoop::SetInterest(Watch& watch, unsigned interest) {
  watch.interest = interest;
  watch.read->setEnabled((interest & kIoReadable) != 0);
  watch.write->setEnabled((interest & kIoWritable) != 0);
}

void QtEventLoop::UpdateSocket(SocketHandle socket, unsigned interest) {
  const auto found = watches_.find(socket);
  if (found != watches_.end()) SetInterest(found->second, interest);
}

void QtEventLoop::UnwatchSocket(SocketHandle socket) {
  const auto found = watches_.find(socket);
  if (found == watches_.end()) return;
  // Called from the socket's own handler: the notifier that is emitting must
  // not be deleted under it. Disabled at once, as the socket is about to be
  // closed.
  for (auto* notifier : {found->second.read.release(), found->second.write.release()}) {
    notifier->setEnabled(false);
    notifier->deleteLater();
  }
  watches_.erase(found);
}

void QtEventLoop::SocketActivated(SocketHandle socket) {
  const auto found = watches_.find(socket);
  if (found == watches_.end()) return;
  const unsigned interest = found->second.interest;
  // A nested loop may already have consumed the readiness: look again.
  const unsigned ready = ReadyNow(socket, interest);
  if (ready == 0) return;
  const std::shared_ptr<IoHandler> handler = found->second.handler;
  ++workDone_;
  (*handler)(ready);
}

bool QtEventLoop::ProcessEvents(std::uint32_t maxWaitMs) {
  const std::uint64_t before = workDone_;
  // Posted tasks run here too: a nested call (a blocking call inside a task)
  // must not wait for a wake-up event the outer call has already taken.
  if (!posted_.Empty() || maxWaitMs == 0 || terminated_.load()) {
    RunPostedTasks();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return workDone_ != before;
  }
  // The ceiling is a timer of the dispatcher: Qt's loop sleeps until any
  // event comes or it expires, never spinning.
  class Ceiling final : public QObject {
   public:
    bool expired = false;

   protected:
    void timerEvent(QTimerEvent* /*event*/) override { expired = true; }
  } ceiling;
  // A Qt timer takes at most 2^31 - 1 ms; a longer wait has no ceiling.
  const int ceilingId = maxWaitMs > 0x7FFFFFFF
                            ? 0
                            : ceiling.startTimer(static_cast<int>(maxWaitMs), Qt::PreciseTimer);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  if (ceilingId != 0) ceiling.killTimer(ceilingId);
  RunPostedTasks();
  // A window event (a click, a paint) counts as work too: whoever waits
  // looks at its own condition again.
  return workDone_ != before || !ceiling.expired;
}

void QtEventLoop::Terminate() {
  terminated_.store(true);
  // Thread-safe: the exit runs on the GUI thread and also wakes the loop.
  // exit(), not quit(): quit() first asks every window to close, and the
  // main window refuses (it goes to the tray).
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

}  // namespace corvel::qt
