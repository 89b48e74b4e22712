#include "net/posix/poll_event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "net/posix/poll_readiness.h"
#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

namespace corvel {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

#ifndef __linux__
void SetNonBlockingCloseOnExec(int fd) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    ThrowErrno("PollEventLoop: fcntl");
  }
}
#endif

}  // namespace

PollEventLoop::PollEventLoop() {
#ifdef __linux__
  wakeRead_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeRead_ < 0) ThrowErrno("PollEventLoop: eventfd");
  wakeWrite_ = wakeRead_;
#else
  int fds[2];
  if (::pipe(fds) != 0) ThrowErrno("PollEventLoop: pipe");
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  SetNonBlockingCloseOnExec(wakeRead_);
  SetNonBlockingCloseOnExec(wakeWrite_);
#endif
}

PollEventLoop::~PollEventLoop() {
  if (wakeWrite_ >= 0 && wakeWrite_ != wakeRead_) ::close(wakeWrite_);
  if (wakeRead_ >= 0) ::close(wakeRead_);
}

void PollEventLoop::Wake() {
  // A full pipe or a saturated eventfd already means "wake up"; nothing is lost.
#ifdef __linux__
  std::uint64_t one = 1;
  ssize_t written = ::write(wakeWrite_, &one, sizeof one);
#else
  char one = 1;
  ssize_t written = ::write(wakeWrite_, &one, 1);
#endif
  (void)written;
}

void PollEventLoop::DrainWake() {
  char buffer[64];
  while (::read(wakeRead_, buffer, sizeof buffer) > 0) {
  }
}

void PollEventLoop::Post(Task task) {
  // Woken for every task from another thread: the loop may be sleeping in a
  // nested call that began after the first wake-up was taken. The loop's own
  // thread is not sleeping, and its next poll() sees the queued task.
  posted_.Push(std::move(task));
  if (std::this_thread::get_id() != loopThread_.load(std::memory_order_relaxed)) Wake();
}

EventLoop::TimerId PollEventLoop::StartTimer(std::uint32_t intervalMs, Task onExpiry) {
  auto timer = std::make_shared<Timer>(
      std::chrono::milliseconds(std::max<std::uint32_t>(intervalMs, 1)), std::move(onExpiry));
  TimerId id = nextTimerId_++;
  timers_.emplace(id, std::move(timer));
  return id;
}

void PollEventLoop::StopTimer(TimerId id) { timers_.erase(id); }

void PollEventLoop::WatchSocket(SocketHandle socket, unsigned interest, IoHandler handler) {
  auto watch = std::make_shared<Watch>();
  watch->interest = interest;
  watch->serial = nextWatchSerial_++;
  watch->handler = std::make_shared<IoHandler>(std::move(handler));
  watches_[socket] = std::move(watch);
}

void PollEventLoop::UpdateSocket(SocketHandle socket, unsigned interest) {
  auto found = watches_.find(socket);
  if (found != watches_.end()) found->second->interest = interest;
}

void PollEventLoop::UnwatchSocket(SocketHandle socket) { watches_.erase(socket); }

void PollEventLoop::Terminate() {
  terminated_.store(true);
  Wake();
}

bool PollEventLoop::Terminated() const { return terminated_.load(); }

bool PollEventLoop::ReportsPeerClose() const { return PollTellsPeerClose(); }

int PollEventLoop::PollTimeout(std::uint32_t maxWaitMs) const {
  if (terminated_.load()) return 0;
  if (!posted_.Empty()) return 0;
  auto limit = std::chrono::milliseconds(maxWaitMs);
  bool bounded = maxWaitMs != kWaitForWork;
  auto now = Clock::now();
  for (const auto& [id, timer] : timers_) {
    if (timer->running) continue;
    if (timer->due <= now) return 0;
    // Rounded up, so the wait never ends just before the timer is due.
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(timer->due - now);
    limit = std::min(limit, remaining);
    bounded = true;
  }
  if (!bounded) return -1;  // poll() waits for a descriptor only
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(limit.count(), 0x7FFFFFFF));
}

bool PollEventLoop::ProcessEvents(std::uint32_t maxWaitMs) {
  loopThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  // A few descriptors (the usual case) are polled from the stack; a call
  // nested in a handler has its own.
  constexpr std::size_t kOnStack = 8;
  std::array<pollfd, kOnStack> local;
  std::vector<pollfd> many;
  const std::size_t count = watches_.size() + 1;
  if (count > kOnStack) many.resize(count);
  pollfd* fds = count > kOnStack ? many.data() : local.data();
  fds[0] = pollfd{wakeRead_, POLLIN, 0};
  std::size_t i = 1;
  for (const auto& [socket, watch] : watches_) {
    fds[i++] = pollfd{static_cast<int>(socket), ToPollEvents(watch->interest), 0};
  }
  int ready = ::poll(fds, count, PollTimeout(maxWaitMs));
  if (ready < 0 && errno != EINTR) ThrowErrno("PollEventLoop: poll");
  if (ready > 0 && fds[0].revents != 0) DrainWake();

  bool ran = posted_.RunQueued();
  if (ready > 0) ran = RunReadySockets(fds + 1, count - 1, !ran) || ran;
  ran = RunDueTimers() || ran;
  return ran;
}

bool PollEventLoop::RunReadySockets(const void* pollFds, std::size_t count, bool fresh) {
  const auto* polled = static_cast<const pollfd*>(pollFds);
  // Remember which watch each descriptor belonged to when it was polled, so a
  // watch replaced meanwhile is not called with the old readiness.
  struct Candidate {
    SocketHandle socket;
    std::uint64_t serial;
    short revents;
  };
  std::array<Candidate, 8> local;
  std::vector<Candidate> many;
  std::size_t readyCount = 0;
  auto add = [&](const Candidate& candidate) {
    if (readyCount < local.size()) {
      local[readyCount] = candidate;
    } else {
      if (many.empty()) many.assign(local.begin(), local.end());
      many.push_back(candidate);
    }
    ++readyCount;
  };
  for (std::size_t i = 0; i < count; ++i) {
    if (polled[i].revents == 0) continue;
    auto found = watches_.find(polled[i].fd);
    if (found == watches_.end()) continue;
    if ((polled[i].revents & POLLNVAL) != 0) {
      // The descriptor was closed without being unwatched; it can never become
      // ready again, and polling it would only spin.
      watches_.erase(found);
      continue;
    }
    add({polled[i].fd, found->second->serial, polled[i].revents});
  }
  const std::span<const Candidate> candidates =
      readyCount <= local.size() ? std::span<const Candidate>(local.data(), readyCount)
                                 : std::span<const Candidate>(many);
  bool ran = false;
  for (const auto& [socket, serial, revents] : candidates) {
    auto watch = watches_.find(socket);
    if (watch == watches_.end() || watch->second->serial != serial) continue;
    const std::shared_ptr<Watch> current = watch->second;
    // A handler run before this one (or a nested ProcessEvents()) may already
    // have consumed the readiness; with nothing run since the poll, what it
    // said still holds.
    const unsigned events =
        fresh && !ran ? ToIoEvents(revents) : ReadyNow(socket, current->interest);
    if (events == 0) continue;
    std::shared_ptr<IoHandler> handler = current->handler;
    ran = true;
    if (*handler) (*handler)(events);
  }
  return ran;
}

bool PollEventLoop::RunDueTimers() {
  auto now = Clock::now();
  std::vector<TimerId> due;
  for (const auto& [id, timer] : timers_) {
    if (!timer->running && timer->due <= now) due.push_back(id);
  }
  bool ran = false;
  for (TimerId id : due) {
    auto found = timers_.find(id);
    if (found == timers_.end()) continue;  // stopped by an earlier handler
    std::shared_ptr<Timer> timer = found->second;
    if (timer->running) continue;
    // Periodic without bursts: a timer that fell behind fires once and is then
    // due a full interval later.
    timer->due += timer->interval;
    if (timer->due <= now) timer->due = now + timer->interval;
    ran = RunTimerHandler(timer) || ran;
  }
  return ran;
}

}  // namespace corvel
