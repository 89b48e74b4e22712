#include "support/loopback.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "pop3_server/plain_socket.h"

namespace corvel::test {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on fd until the deadline; false on time-out.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{static_cast<decltype(pollfd::fd)>(fd), events, 0};
    int rc = plain::Poll(&p, 1, MillisecondsLeft(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (!plain::WouldBlock(plain::LastError())) return false;
  }
}

}  // namespace

PeerSocket::~PeerSocket() { Close(); }

PeerSocket::PeerSocket(PeerSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

bool PeerSocket::SendAll(std::string_view data, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!data.empty()) {
    if (!WaitReady(fd_, POLLOUT, deadline)) return false;
    int sent = plain::Send(fd_, data.data(), data.size());
    if (sent < 0) {
      if (plain::WouldBlock(plain::LastError())) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

std::string PeerSocket::ReadExactly(std::size_t count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string result;
  char buffer[65536];
  while (result.size() < count) {
    if (!WaitReady(fd_, POLLIN, deadline)) break;
    std::size_t want = std::min(sizeof buffer, count - result.size());
    int got = plain::Receive(fd_, buffer, want);
    if (got < 0 && plain::WouldBlock(plain::LastError())) continue;
    if (got <= 0) break;
    result.append(buffer, static_cast<std::size_t>(got));
  }
  return result;
}

std::string PeerSocket::ReadUntilClosed(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string result;
  char buffer[65536];
  for (;;) {
    if (!WaitReady(fd_, POLLIN, deadline)) break;
    int got = plain::Receive(fd_, buffer, sizeof buffer);
    if (got < 0 && plain::WouldBlock(plain::LastError())) continue;
    if (got <= 0) break;
    result.append(buffer, static_cast<std::size_t>(got));
  }
  return result;
}

bool PeerSocket::WaitForClose(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  for (;;) {
    if (!WaitReady(fd_, POLLIN, deadline)) return false;
    int got = plain::Receive(fd_, buffer, sizeof buffer);
    if (got < 0 && plain::WouldBlock(plain::LastError())) continue;
    if (got <= 0) return true;
  }
}

void PeerSocket::ShutdownWrite() { plain::ShutdownSend(fd_); }

void PeerSocket::Close() {
  if (fd_ >= 0) plain::Close(fd_);
  fd_ = -1;
}

void PeerSocket::Reset() {
  if (fd_ < 0) return;
  linger value{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value);
  Close();
}

LoopbackListener::LoopbackListener() {
  fd_ = plain::Open(SOCK_STREAM);
  if (fd_ < 0) throw std::system_error(plain::LastError(), std::generic_category(), "socket");
  const long port = plain::BindLoopback(fd_);
  if (port < 0 || ::listen(fd_, 16) != 0) {
    int error = plain::LastError();
    Close();
    throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
  }
  port_ = ntohs(static_cast<std::uint16_t>(port));
}

LoopbackListener::~LoopbackListener() { Close(); }

PeerSocket LoopbackListener::Accept(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!WaitReady(fd_, POLLIN, deadline)) return PeerSocket();
  int peer = plain::Accept(fd_);
  return PeerSocket(peer);
}

void LoopbackListener::Close() {
  if (fd_ >= 0) plain::Close(fd_);
  fd_ = -1;
}

std::uint16_t ClosedLoopbackPort() {
  LoopbackListener listener;
  std::uint16_t port = listener.Port();
  listener.Close();
  return port;
}

}  // namespace corvel::test
