#include "pop3_server/server_connection.h"

#ifndef _WIN32
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>
#endif

#include <chrono>
#include <stdexcept>

#include "pop3_server/plain_socket.h"

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
    using Fd = decltype(pollfd::fd);
    pollfd fds[2] = {{static_cast<Fd>(fd), events, 0}, {static_cast<Fd>(stop.Fd()), POLLIN, 0}};
    const int n = plain::Poll(fds, 2, RemainingMs(deadline));
    if (n < 0) {
      if (plain::WouldBlock(plain::LastError())) continue;
      return WaitResult::kError;
    }
    if (stop.Raised()) return WaitResult::kStopped;
    if (n == 0) return WaitResult::kTimeout;
    if (fds[0].revents != 0) return WaitResult::kOk;
  }
}

}  // namespace

#ifdef _WIN32
// Winsock polls sockets only: the signal is a datagram the socket sends to
// itself on loopback.
StopSignal::StopSignal() {
  fds_[0] = plain::Open(SOCK_DGRAM);
  if (fds_[0] < 0 || plain::BindLoopback(fds_[0]) < 0) {
    if (fds_[0] >= 0) plain::Close(fds_[0]);
    throw std::runtime_error("stop signal socket failed");
  }
}

StopSignal::~StopSignal() { plain::Close(fds_[0]); }

void StopSignal::Raise() {
  sockaddr_in self{};
  int length = sizeof self;
  ::getsockname(static_cast<SOCKET>(fds_[0]), reinterpret_cast<sockaddr*>(&self), &length);
  const char byte = 1;
  ::sendto(static_cast<SOCKET>(fds_[0]), &byte, 1, 0, reinterpret_cast<sockaddr*>(&self),
           sizeof self);
}
#else
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
#endif

bool StopSignal::Raised() const {
  pollfd fd{static_cast<decltype(pollfd::fd)>(fds_[0]), POLLIN, 0};
  return plain::Poll(&fd, 1, 0) > 0;
}

ServerListener::ServerListener() {
  fd_ = plain::Open(SOCK_STREAM);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  const long port = plain::BindLoopback(fd_);
  if (port < 0 || ::listen(fd_, 8) != 0) {
    plain::Close(fd_);
    throw std::runtime_error("bind/listen on 127.0.0.1 failed");
  }
  port_ = ntohs(static_cast<std::uint16_t>(port));
}

ServerListener::~ServerListener() {
  if (fd_ >= 0) plain::Close(fd_);
}

WaitResult ServerListener::Accept(const StopSignal& stop, int timeoutMs, int& fd) {
  fd = -1;
  const WaitResult ready =
      WaitFor(fd_, POLLIN, stop, Clock::now() + std::chrono::milliseconds(timeoutMs));
  if (ready != WaitResult::kOk) return ready;
  fd = plain::Accept(fd_);
  return fd < 0 ? WaitResult::kError : WaitResult::kOk;
}

ServerConnection::ServerConnection(int fd, const StopSignal& stop,
                                   std::function<void(std::string_view)> record)
    : fd_(fd), stop_(stop), record_(std::move(record)) {}

ServerConnection::~ServerConnection() { Close(); }

void ServerConnection::Close() {
  if (fd_ >= 0) plain::Close(fd_);
  fd_ = -1;
}

void ServerConnection::Reset() {
  if (fd_ < 0) return;
  plain::LingerZero(fd_);
  Close();
}

WaitResult ServerConnection::Fill(int timeoutMs) {
  if (fd_ < 0) return WaitResult::kClosed;
  const WaitResult ready =
      WaitFor(fd_, POLLIN, stop_, Clock::now() + std::chrono::milliseconds(timeoutMs));
  if (ready != WaitResult::kOk) return ready;
  char buffer[16384];
  const int n = plain::Receive(fd_, buffer, sizeof buffer);
  if (n == 0) return WaitResult::kClosed;
  if (n < 0) {
    const int error = plain::LastError();
    if (plain::WouldBlock(error)) return WaitResult::kOk;
    return plain::ConnectionGone(error) ? WaitResult::kClosed : WaitResult::kError;
  }
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
    const int n = plain::Send(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      const int error = plain::LastError();
      if (plain::WouldBlock(error)) continue;
      return plain::ConnectionGone(error) ? WaitResult::kClosed : WaitResult::kError;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return WaitResult::kOk;
}

WaitResult ServerConnection::WriteAndClose(std::string_view bytes, int timeoutMs) {
  if (fd_ < 0) return WaitResult::kClosed;
#ifdef TCP_CORK
  int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
#endif
  const WaitResult result = Write(bytes, timeoutMs);
  Close();  // the FIN joins the corked bytes
  return result;
}

WaitResult ServerConnection::Pause(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stop_.Raised()) return WaitResult::kStopped;
    const int left = RemainingMs(deadline);
    if (left == 0) return WaitResult::kOk;
    pollfd fd{static_cast<decltype(pollfd::fd)>(stop_.Fd()), POLLIN, 0};
    plain::Poll(&fd, 1, left);
  }
}

}  // namespace corvel::test
