// Loopback TCP endpoints for tests: a listener on 127.0.0.1 with a port the
// system chooses, and the accepted peer socket with blocking helpers bounded
// by time-outs. They use the plain POSIX socket calls, independent of the
// socket classes under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvel::test {

// The test's end of a TCP connection.
class PeerSocket {
 public:
  PeerSocket() = default;
  explicit PeerSocket(int fd) : fd_(fd) {}
  ~PeerSocket();
  PeerSocket(PeerSocket&& other) noexcept;
  PeerSocket& operator=(PeerSocket&& other) noexcept;
  PeerSocket(const PeerSocket&) = delete;
  PeerSocket& operator=(const PeerSocket&) = delete;

  [[nodiscard]] bool Valid() const { return fd_ >= 0; }
  [[nodiscard]] int Fd() const { return fd_; }

  // Sends every byte; false when the connection fails or timeoutMs passes.
  bool SendAll(std::string_view data, int timeoutMs = 10000);
  // Up to `count` bytes: returns early only when the peer closes or timeoutMs
  // passes.
  std::string ReadExactly(std::size_t count, int timeoutMs = 10000);
  // Everything until the peer closes (or timeoutMs passes).
  std::string ReadUntilClosed(int timeoutMs = 10000);
  // True when the peer has closed (end of stream or reset) within timeoutMs,
  // discarding what arrives meanwhile.
  bool WaitForClose(int timeoutMs = 10000);
  void ShutdownWrite();
  void Close();
  // Closes with a reset instead of an orderly close.
  void Reset();

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1.
class LoopbackListener {
 public:
  LoopbackListener();  // throws std::system_error on failure
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return port_; }
  [[nodiscard]] std::string PortText() const { return std::to_string(port_); }
  // The next connection; an invalid PeerSocket after timeoutMs.
  PeerSocket Accept(int timeoutMs = 10000);
  void Close();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// A port of 127.0.0.1 on which nothing listens: connecting to it is refused.
[[nodiscard]] std::uint16_t ClosedLoopbackPort();

}  // namespace corvel::test
