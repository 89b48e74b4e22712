// Blocking loopback sockets for the test servers: a listener on 127.0.0.1
// with an OS-chosen port and a connection whose every wait has a time-out and
// can be cut short by a StopSignal, so that a server thread never outlives
// its owner or hangs a test. No test framework in here: a demo program links
// these servers too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace corvel::test {

// A flag another thread raises to end every wait of a server thread.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  void Raise();
  [[nodiscard]] bool Raised() const;
  [[nodiscard]] int Fd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
};

enum class WaitResult { kOk, kTimeout, kClosed, kStopped, kError };

class ServerListener {
 public:
  // Listens on 127.0.0.1 with a port chosen by the system.
  ServerListener();
  ~ServerListener();
  ServerListener(const ServerListener&) = delete;
  ServerListener& operator=(const ServerListener&) = delete;
  [[nodiscard]] std::uint16_t Port() const { return port_; }
  // Waits for a client; the connected socket in `fd`.
  WaitResult Accept(const StopSignal& stop, int timeoutMs, int& fd);

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class ServerConnection {
 public:
  // Every byte read from the client goes to `record` as it arrives.
  ServerConnection(int fd, const StopSignal& stop, std::function<void(std::string_view)> record);
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // The next client line, without its LF and a CR before it.
  WaitResult ReadLine(std::string& line, int timeoutMs);
  // Reads until the client closes, the time-out, or the stop.
  WaitResult ReadUntilClosed(int timeoutMs);
  WaitResult Write(std::string_view bytes, int timeoutMs);
  // Writes the bytes and closes, held back until the close so that the
  // bytes and the end of the stream reach the client in one segment.
  WaitResult WriteAndClose(std::string_view bytes, int timeoutMs);
  // Waits without reading; only the stop cuts it short.
  WaitResult Pause(int ms);
  void Close();
  // Drops the connection with a reset (RST) instead of an orderly close.
  void Reset();
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }

 private:
  WaitResult Fill(int timeoutMs);

  int fd_;
  const StopSignal& stop_;
  std::function<void(std::string_view)> record_;
  std::string pending_;
};

}  // namespace corvel::test
