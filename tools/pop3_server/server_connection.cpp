#include "pop3_server/server_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace corvel::test {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits until `fd` is ready for `events` or the stop is raised.
WaitResult WaitFor(int fd, short events, const StopSignal& stop, Clock::time_point deadline) {
  for (;;) {
    if (stop.Raised()) return WaitResult::kStopped;
    pollfd fds[2] = {{fd, events, 0}, {stop.Fd(), POLLIN, 0}};
    const int n = ::poll(fds, 2, RemainingMs(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kError;
    }
    if (stop.Raised()) return WaitResult::kStopped;
    if (n == 0) return WaitResult::kTimeout;
    if (fds[0].revents != 0) return WaitResult::kOk;
  }
}

}  // namespace

StopSignal::StopSignal() {
  if (::pipe(fds_) != 0) throw std::runtime_error("pipe failed");
  ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
}

StopSignal::~StopSignal() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void StopSignal::Raise() {
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(fds_[1], &byte, 1);
}

bool StopSignal::Raised() const {
  pollfd fd{fds_[0], POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0;
}

ServerListener::ServerListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 8) != 0) {
    ::close(fd_);
    throw std::runtime_error("bind/listen on 127.0.0.1 failed");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

ServerListener::~ServerListener() {
  if (fd_ >= 0) ::close(fd_);
}

WaitResult ServerListener::Accept(const StopSignal& stop, int timeoutMs, int& fd) {
  fd = -1;
  const WaitResult ready =
      WaitFor(fd_, POLLIN, stop, Clock::now() + std::chrono::milliseconds(timeoutMs));
  if (ready != WaitResult::kOk) return ready;
  fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return fd < 0 ? WaitResult::kError : WaitResult::kOk;
}

ServerConnection::ServerConnection(int fd, const StopSignal& stop,
                                   std::function<void(std::string_view)> record)
    : fd_(fd), stop_(stop), record_(std::move(record)) {}

ServerConnection::~ServerConnection() { Close(); }

void ServerConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void ServerConnection::Reset() {
  if (fd_ < 0) return;
  // A zero linger time makes the close abortive: the peer gets a reset.
  const linger abortive{1, 0};
  (void)::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  Close();
}

WaitResult ServerConnection::Fill(int timeoutMs) {
  if (fd_ < 0) return WaitResult::kClosed;
  const WaitResult ready =
      WaitFor(fd_, POLLIN, stop_, Clock::now() + std::chrono::milliseconds(timeoutMs));
  if (ready != WaitResult::kOk) return ready;
  char buffer[16384];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n == 0) return WaitResult::kClosed;
  if (n < 0) return errno == ECONNRESET ? WaitResult::kClosed : WaitResult::kError;
  const std::string_view bytes(buffer, static_cast<size_t>(n));
  if (record_) record_(bytes);
  pending_.append(bytes);
  return WaitResult::kOk;
}

WaitResult ServerConnection::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      size_t end = lf;
      if (end > 0 && pending_[end - 1] == '\r') --end;
      line = pending_.substr(0, end);
      pending_.erase(0, lf + 1);
      return WaitResult::kOk;
    }
    const WaitResult result = Fill(RemainingMs(deadline));
    if (result != WaitResult::kOk) return result;
  }
}

WaitResult ServerConnection::ReadUntilClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const WaitResult result = Fill(RemainingMs(deadline));
    if (result != WaitResult::kOk) return result;
    pending_.clear();
  }
}

WaitResult ServerConnection::Write(std::string_view bytes, int timeoutMs) {
  if (fd_ < 0) return WaitResult::kClosed;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!bytes.empty()) {
    const WaitResult ready = WaitFor(fd_, POLLOUT, stop_, deadline);
    if (ready != WaitResult::kOk) return ready;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return (errno == EPIPE || errno == ECONNRESET) ? WaitResult::kClosed : WaitResult::kError;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return WaitResult::kOk;
}

WaitResult ServerConnection::Pause(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stop_.Raised()) return WaitResult::kStopped;
    const int left = RemainingMs(deadline);
    if (left == 0) return WaitResult::kOk;
    pollfd fd{stop_.Fd(), POLLIN, 0};
    ::poll(&fd, 1, left);
  }
}

}  // namespace corvel::test
