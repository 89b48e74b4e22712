#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

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
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
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
    ssize_t sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
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
    ssize_t got = ::recv(fd_, buffer, want, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
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
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
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
    ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) return true;
  }
}

void PeerSocket::ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void PeerSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void PeerSocket::Reset() {
  if (fd_ < 0) return;
  linger value{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &value, sizeof value);
  Close();
}

LoopbackListener::LoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    Close();
    throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { Close(); }

PeerSocket LoopbackListener::Accept(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!WaitReady(fd_, POLLIN, deadline)) return PeerSocket();
  int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return PeerSocket(peer);
}

void LoopbackListener::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::uint16_t ClosedLoopbackPort() {
  LoopbackListener listener;
  std::uint16_t port = listener.Port();
  listener.Close();
  return port;
}

}  // namespace corvel::test
