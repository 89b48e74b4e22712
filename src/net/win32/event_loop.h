// MessageEventLoop: the EventLoop of Windows builds, over the thread's message
// queue and one message-only window created on the loop thread.
//
// Posted tasks wait in a mutex-guarded FIFO with one posted window message
// standing for them; each such message runs one task and posts the next
// message before it does, so a nested loop continues the same order. Timers
// are window timers (SetTimer); a timer's handler is never entered again
// while it runs. Sockets report their network events through WSAAsyncSelect
// as window messages; every watch gets its own message number, so a
// notification still queued for a closed socket never reaches a new socket
// that happens to get the same handle. ProcessEvents() sleeps in
// MsgWaitForMultipleObjectsEx until a message arrives or the time is up, then
// dispatches every message waiting, windows of the program's own included.
// The quit message (PostQuitMessage) sets the terminated flag, as Terminate()
// does.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "net/event_loop.h"
#include "net/loop_parts.h"

namespace corvel {

class MessageEventLoop final : public EventLoop {
 public:
  // Throws std::system_error when the window cannot be made.
  MessageEventLoop();
  ~MessageEventLoop() override;
  MessageEventLoop(const MessageEventLoop&) = delete;
  MessageEventLoop& operator=(const MessageEventLoop&) = delete;

  void Post(Task task) override;
  TimerId StartTimer(std::uint32_t intervalMs, Task onExpiry) override;
  void StopTimer(TimerId id) override;
  void WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) override;
  void UpdateSocket(SocketHandle socket, unsigned interest) override;
  void UnwatchSocket(SocketHandle socket) override;
  bool WatchNetworkEvents(SocketHandle socket, NetworkEventHandler handler) override;
  bool ProcessEvents(std::uint32_t maxWaitMs) override;
  void Terminate() override;
  [[nodiscard]] bool Terminated() const override;

  // Offered every message taken from the queue (a MSG) before it is
  // translated and dispatched; returns true when it handled the message
  // itself (a window's keyboard navigation, IsDialogMessage).
  std::function<bool(void* message)> OnPreTranslate;

  // The window the loop's messages go to (an HWND).
  [[nodiscard]] void* Window() const { return window_; }
  // The window's message handling; called by its window procedure only.
  std::intptr_t HandleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

 private:
  struct Watch {
    SocketHandle socket = kInvalidSocket;
    unsigned message = 0;
    unsigned interest = 0;       // readiness watches only
    IoHandler readiness;         // set for a readiness watch
    NetworkEventHandler events;  // set for a network-event watch
  };

  std::intptr_t RunMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
  void RunOneTask();
  void RunTimer(std::uintptr_t id);
  // False when the notification came to nothing.
  bool RunSocket(unsigned message, std::uintptr_t socket, std::intptr_t lParam);
  bool DispatchWaiting();
  unsigned NextSocketMessage();

  void* window_ = nullptr;
  // What a handler raised inside the window procedure, until dispatch returns.
  std::exception_ptr raised_;

  std::mutex mutex_;  // guards posted_ and taskMessagePending_
  std::deque<Task> posted_;
  bool taskMessagePending_ = false;
  std::atomic<bool> terminated_{false};
  bool lastMessageIdle_ = false;  // the message just dispatched did nothing

  std::map<std::uintptr_t, std::shared_ptr<LoopTimer>> timers_;
  std::uintptr_t nextTimerId_ = 1;
  std::map<unsigned, std::shared_ptr<Watch>> watchesByMessage_;
  std::map<SocketHandle, unsigned> messageBySocket_;
  unsigned nextSocketMessage_ = 0;
};

}  // namespace corvel
