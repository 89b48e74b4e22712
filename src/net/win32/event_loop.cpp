#include "net/win32/event_loop.h"

#include <windows.h>
#include <winsock2.h>

#include <system_error>
#include <utility>

namespace corvel {
namespace {

constexpr UINT kTaskMessage = WM_APP + 1;
constexpr UINT kWakeMessage = WM_APP + 2;
// Socket watches take their message numbers from this range in turn.
constexpr UINT kFirstSocketMessage = WM_APP + 0x100;
constexpr UINT kSocketMessageCount = 0x3000;

// What wakes ProcessEvents: the wake mask of the program's blocking wait
// (key input, mouse buttons, sent messages, hot keys and every posted
// message), and window timers, which are the loop's own timers.
constexpr DWORD kWakeMask =
    QS_KEY | QS_MOUSEBUTTON | QS_SENDMESSAGE | QS_HOTKEY | QS_ALLPOSTMESSAGE | QS_TIMER;

constexpr wchar_t kWindowClass[] = L"CorvelEventLoopWindow";

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* loop = reinterpret_cast<MessageEventLoop*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (loop == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  return loop->HandleMessage(message, wParam, lParam);
}

ATOM RegisterWindowClass() {
  static const ATOM atom = [] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    return ::RegisterClassExW(&windowClass);
  }();
  return atom;
}

}  // namespace

MessageEventLoop::MessageEventLoop() {
  if (RegisterWindowClass() == 0) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "RegisterClassEx");
  }
  HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  ::GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateWindowEx");
  }
  ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  window_ = window;
}

MessageEventLoop::~MessageEventLoop() {
  HWND window = static_cast<HWND>(window_);
  for (const auto& [socket, message] : messageBySocket_) {
    ::WSAAsyncSelect(static_cast<SOCKET>(socket), window, 0, 0);
  }
  for (const auto& [id, timer] : timers_) ::KillTimer(window, id);
  ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  ::DestroyWindow(window);
}

// An exception cannot travel through the system's message dispatch: one that a
// handler raises is kept here and raised again once DispatchMessage returns,
// so the caller of ProcessEvents sees it as it would on any other loop.
std::intptr_t MessageEventLoop::HandleMessage(unsigned message, std::uintptr_t wParam,
                                              std::intptr_t lParam) {
  try {
    return RunMessage(message, wParam, lParam);
  } catch (...) {
    raised_ = std::current_exception();
    return 0;
  }
}

std::intptr_t MessageEventLoop::RunMessage(unsigned message, std::uintptr_t wParam,
                                           std::intptr_t lParam) {
  if (message == kTaskMessage) {
    RunOneTask();
    return 0;
  }
  if (message == kWakeMessage) return 0;
  if (message == WM_TIMER) {
    RunTimer(wParam);
    return 0;
  }
  if (message >= kFirstSocketMessage && message < kFirstSocketMessage + kSocketMessageCount) {
    lastMessageIdle_ = !RunSocket(message, wParam, lParam);
    return 0;
  }
  return ::DefWindowProcW(static_cast<HWND>(window_), message, wParam, lParam);
}

// ---- Posted tasks.

void MessageEventLoop::Post(Task task) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(task));
  if (!taskMessagePending_) {
    taskMessagePending_ = true;
    ::PostMessageW(static_cast<HWND>(window_), kTaskMessage, 0, 0);
  }
}

void MessageEventLoop::RunOneTask() {
  Task task;
  {
    std::lock_guard lock(mutex_);
    if (posted_.empty()) {
      taskMessagePending_ = false;
      return;
    }
    task = std::move(posted_.front());
    posted_.pop_front();
    // The next task gets its message before this one runs, so a loop nested
    // inside it goes on with the queue.
    taskMessagePending_ = !posted_.empty();
    if (taskMessagePending_) ::PostMessageW(static_cast<HWND>(window_), kTaskMessage, 0, 0);
  }
  task();
}

// ---- Timers.

EventLoop::TimerId MessageEventLoop::StartTimer(std::uint32_t intervalMs, Task onExpiry) {
  const std::uintptr_t id = nextTimerId_++;
  timers_[id] = std::make_shared<LoopTimer>(std::move(onExpiry));
  ::SetTimer(static_cast<HWND>(window_), id, intervalMs == 0 ? USER_TIMER_MINIMUM : intervalMs,
             nullptr);
  return id;
}

void MessageEventLoop::StopTimer(TimerId id) {
  auto found = timers_.find(static_cast<std::uintptr_t>(id));
  if (found == timers_.end()) return;
  ::KillTimer(static_cast<HWND>(window_), found->first);
  timers_.erase(found);
}

void MessageEventLoop::RunTimer(std::uintptr_t id) {
  auto found = timers_.find(id);
  if (found == timers_.end()) return;  // stopped while its message waited
  RunTimerHandler(found->second);
}

// ---- Sockets.

unsigned MessageEventLoop::NextSocketMessage() {
  for (unsigned tries = 0; tries < kSocketMessageCount; ++tries) {
    const unsigned message = kFirstSocketMessage + nextSocketMessage_;
    nextSocketMessage_ = (nextSocketMessage_ + 1) % kSocketMessageCount;
    if (watchesByMessage_.count(message) == 0) return message;
  }
  throw std::system_error(WSAENOBUFS, std::system_category(), "too many watched sockets");
}

bool MessageEventLoop::WatchNetworkEvents(SocketHandle socket, NetworkEventHandler handler) {
  UnwatchSocket(socket);
  auto watch = std::make_shared<Watch>();
  watch->socket = socket;
  watch->message = NextSocketMessage();
  watch->events = std::move(handler);
  watchesByMessage_[watch->message] = watch;
  messageBySocket_[socket] = watch->message;
  ::WSAAsyncSelect(static_cast<SOCKET>(socket), static_cast<HWND>(window_), watch->message,
                   FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
  return true;
}

void MessageEventLoop::WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) {
  UnwatchSocket(socket);
  auto watch = std::make_shared<Watch>();
  watch->socket = socket;
  watch->message = NextSocketMessage();
  watch->readiness = std::move(handler);
  watchesByMessage_[watch->message] = watch;
  messageBySocket_[socket] = watch->message;
  UpdateSocket(socket, interest);
}

void MessageEventLoop::UpdateSocket(SocketHandle socket, unsigned interest) {
  auto found = messageBySocket_.find(socket);
  if (found == messageBySocket_.end()) return;
  std::shared_ptr<Watch> watch = watchesByMessage_[found->second];
  if (!watch->readiness) return;
  watch->interest = interest;
  // Registering again makes Winsock report what is already the case.
  long events = FD_CLOSE;
  if ((interest & kIoReadable) != 0) events |= FD_READ | FD_ACCEPT;
  if ((interest & kIoWritable) != 0) events |= FD_WRITE | FD_CONNECT;
  ::WSAAsyncSelect(static_cast<SOCKET>(socket), static_cast<HWND>(window_), watch->message, events);
}

void MessageEventLoop::UnwatchSocket(SocketHandle socket) {
  auto found = messageBySocket_.find(socket);
  if (found == messageBySocket_.end()) return;
  ::WSAAsyncSelect(static_cast<SOCKET>(socket), static_cast<HWND>(window_), 0, 0);
  watchesByMessage_.erase(found->second);
  messageBySocket_.erase(found);
}

bool MessageEventLoop::RunSocket(unsigned message, std::uintptr_t socket, std::intptr_t lParam) {
  auto found = watchesByMessage_.find(message);
  if (found == watchesByMessage_.end()) return false;  // for a watch that has ended
  std::shared_ptr<Watch> watch = found->second;
  if (static_cast<std::uintptr_t>(watch->socket) != socket) return false;
  const auto events = static_cast<std::uint16_t>(WSAGETSELECTEVENT(lParam));
  const auto error = static_cast<std::uint16_t>(WSAGETSELECTERROR(lParam));
  if (watch->events) {
    NetworkEventHandler handler = watch->events;
    return handler(events, error);
  }
  // A readiness watch: what the socket is ready for now, looked up afresh.
  const SOCKET s = static_cast<SOCKET>(watch->socket);
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &readable);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval now{0, 0};
  if (::select(0, &readable, &writable, &failed, &now) == SOCKET_ERROR) return false;
  unsigned ready = 0;
  if (FD_ISSET(s, &readable)) ready |= kIoReadable;
  if (FD_ISSET(s, &writable)) ready |= kIoWritable;
  if (FD_ISSET(s, &failed) || error != 0) ready |= kIoError;
  if ((events & FD_CLOSE) != 0) ready |= kIoHangup;
  ready &= watch->interest | kIoHangup | kIoError;
  if (ready == 0) return false;
  IoHandler handler = watch->readiness;
  handler(ready);
  return true;
}

// ---- The loop.

bool MessageEventLoop::DispatchWaiting() {
  bool ran = false;
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      terminated_ = true;
      return true;
    }
    lastMessageIdle_ = false;
    if (!OnPreTranslate || !OnPreTranslate(&message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (raised_) std::rethrow_exception(std::exchange(raised_, nullptr));
    ran = ran || !lastMessageIdle_;
  }
  return ran;
}

bool MessageEventLoop::ProcessEvents(std::uint32_t maxWaitMs) {
  if (DispatchWaiting()) return true;
  if (terminated_) return false;
  ::MsgWaitForMultipleObjectsEx(0, nullptr, maxWaitMs, kWakeMask, MWMO_INPUTAVAILABLE);
  return DispatchWaiting();
}

// The quit message would stay in the thread's queue for whatever loop the
// thread runs next; the loop's own window is woken instead.
void MessageEventLoop::Terminate() {
  terminated_ = true;
  ::PostMessageW(static_cast<HWND>(window_), kWakeMessage, 0, 0);
}

bool MessageEventLoop::Terminated() const { return terminated_; }

}  // namespace corvel
