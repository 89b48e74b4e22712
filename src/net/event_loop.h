// The program's message queue. One EventLoop runs on the thread that owns the
// sockets, the POP3 client, the timers and the window; everything those
// objects report is delivered on that thread, from inside ProcessEvents().
//
// It stands in for the thread message queue of a Windows program: posted
// messages are posted tasks (FIFO), window timers are periodic timers, socket
// notifications are socket watches, and "sleep until a message arrives or
// 1000 ms have passed, then dispatch what is waiting" is ProcessEvents(1000).
//
// ProcessEvents() may be called from inside a handler that ProcessEvents() is
// running (a blocking POP3 call pumps the loop while it waits), so every
// implementation must be re-entrant: a nested call runs whatever is pending,
// posted tasks keep their order across nesting, and a timer's handler is never
// entered again while it is still running.
#pragma once

#include <cstdint>
#include <functional>

namespace corvel {

// An operating-system socket handle (a file descriptor on POSIX, a SOCKET on
// Windows); kInvalidSocket when there is none.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// The wait of ProcessEvents() that ends only when there is work.
inline constexpr std::uint32_t kWaitForWork = 0xFFFFFFFF;

class EventLoop {
 public:
  using Task = std::function<void()>;
  using TimerId = std::uint64_t;  // 0 is never a valid id

  // Readiness bits of a watched socket.
  enum IoEvent : unsigned {
    kIoReadable = 1,  // data, end of stream, or a pending error can be read
    kIoWritable = 2,  // a send would not block; a connect has ended
    kIoHangup = 4,    // the peer closed or the connection broke
    kIoError = 8,     // an error is pending on the socket
  };
  using IoHandler = std::function<void(unsigned readyEvents)>;

  virtual ~EventLoop() = default;

  // Thread-safe. Queues the task to run on the loop thread after every task
  // posted before it, and wakes a waiting ProcessEvents().
  virtual void Post(Task task) = 0;

  // Loop thread only. Starts a periodic timer that first expires intervalMs
  // after this call and then every intervalMs; returns its id.
  virtual TimerId StartTimer(std::uint32_t intervalMs, Task onExpiry) = 0;
  // Loop thread only. Stops a timer; an unknown or already stopped id is
  // ignored. Safe to call from the timer's own handler.
  virtual void StopTimer(TimerId id) = 0;

  // Loop thread only. Watches a socket for the readiness bits in `interest`
  // (kIoReadable and/or kIoWritable; hang-up and error are always reported).
  // The handler runs on the loop thread with the bits that are set. Readiness
  // is level-triggered, and is re-checked just before the handler runs, so a
  // nested ProcessEvents() that already consumed it does not cause a stale call.
  virtual void WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) = 0;
  // Changes the interest of a watched socket.
  virtual void UpdateSocket(SocketHandle socket, unsigned interest) = 0;
  // Stops watching; safe from inside the socket's own handler. Ends a watch
  // of either kind.
  virtual void UnwatchSocket(SocketHandle socket) = 0;

  // Where the system itself reports a socket's network events (Windows
  // Sockets' window messages), a loop may hand them on as they come: the
  // event bits connect 16, read 1, write 2, accept 8 and close 32 of one
  // notification, with its error code, on the loop thread; the handler
  // returns whether anything came of them (ProcessEvents() counts only
  // those). A notification still queued for a socket that is no longer
  // watched is dropped. Returns false when the loop has no such reports; the
  // caller then watches readiness with WatchSocket instead.
  using NetworkEventHandler = std::function<bool(std::uint16_t events, std::uint16_t errCode)>;
  virtual bool WatchNetworkEvents(SocketHandle /*socket*/, NetworkEventHandler /*handler*/) {
    return false;
  }

  // True when the loop tells a peer's close as kIoHangup whenever it happens,
  // so that kIoReadable without it always means bytes to read; false when an
  // end of stream may show as readable only.
  [[nodiscard]] virtual bool ReportsPeerClose() const { return false; }

  // Loop thread only. Waits up to maxWaitMs (kWaitForWork: as long as it
  // takes) for work (a posted task, an expired timer, a ready socket,
  // Terminate()), then runs what is pending. Returns at once when work is
  // already waiting. Returns true when anything ran.
  virtual bool ProcessEvents(std::uint32_t maxWaitMs) = 0;

  // The "application terminated" flag. Terminate() is thread-safe and wakes
  // the loop; Run() returns once it is set.
  virtual void Terminate() = 0;
  [[nodiscard]] virtual bool Terminated() const = 0;

  // Processes events until Terminated(), asleep while there is none.
  void Run() {
    while (!Terminated()) ProcessEvents(kWaitForWork);
  }
};

}  // namespace corvel
