// DelayProxy: makes a server on this machine look far away. It listens on
// 127.0.0.1 (a port chosen by the system) and forwards every connection to a
// port on 127.0.0.1, holding each piece of data for half the round trip in
// each direction, in order and without a bandwidth limit: a request and its
// answer take one added round trip, as over a long line.
//
// Loopback only, on both sides. Bounded: at most `maxConnections` at a time,
// at most `maxBufferedBytes` held per direction (reading pauses beyond), and
// it stops by itself after `lifetime`, or when destroyed, closing every
// connection. One thread of its own. No test framework in here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "pop3_server/server_connection.h"

namespace corvel::test {

struct DelayProxyOptions {
  std::chrono::milliseconds roundTrip{40};
  std::chrono::seconds lifetime{600};
  std::size_t maxConnections = 16;
  std::size_t maxBufferedBytes = 8u << 20;
};

class DelayProxy {
 public:
  // Forwards to 127.0.0.1:`targetPort`. Throws std::runtime_error when it
  // cannot listen.
  DelayProxy(std::uint16_t targetPort, DelayProxyOptions options = {});
  ~DelayProxy();
  DelayProxy(const DelayProxy&) = delete;
  DelayProxy& operator=(const DelayProxy&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return port_; }
  [[nodiscard]] static const char* Host() { return "127.0.0.1"; }

 private:
  void Run();

  std::uint16_t targetPort_;
  DelayProxyOptions options_;
  int listener_ = -1;
  StopSignal stop_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace corvel::test
