// A control connection from a Windows test program to the TLS peer host
// (tls_peer_host.cpp), which runs natively on the build machine what the
// Windows build has no part of (OpenSSL's server side, the OAuth2 test
// server): every call is one request and its reply (tls_peer_wire.h).
// Blocking Winsock calls; a connection that fails makes every later call
// fail at once.
#pragma once

#include <winsock2.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/tls_peer_wire.h"

namespace corvel::test {

namespace remote {

class Channel {
 public:
  Channel() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const char* port = std::getenv("CORVEL_TLS_PEER_HOST");
    if (port == nullptr || *port == 0) {
      throw std::runtime_error(
          "CORVEL_TLS_PEER_HOST is not set: scripts/test-windows starts the "
          "TLS peer host and names its port there");
    }
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    if (socket_ == INVALID_SOCKET ||
        ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error(std::string("cannot reach the TLS peer host on port ") + port);
    }
  }
  ~Channel() { ::closesocket(socket_); }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // The reply's fields; none when the connection has failed.
  std::vector<std::string> Call(const std::string& command, const std::vector<std::string>& args) {
    std::lock_guard lock(mutex_);
    if (broken_) return {};
    const std::string request = wire::Line(args, command);
    for (std::size_t sent = 0; sent < request.size();) {
      const int n =
          ::send(socket_, request.data() + sent, static_cast<int>(request.size() - sent), 0);
      if (n <= 0) return Broken();
      sent += static_cast<std::size_t>(n);
    }
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::vector<std::string> fields = wire::Fields(std::string_view(buffer_).substr(0, end));
        buffer_.erase(0, end + 1);
        return fields;
      }
      char chunk[65536];
      const int n = ::recv(socket_, chunk, sizeof chunk, 0);
      if (n <= 0) return Broken();
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Wakes a call waiting for its reply, and fails every later one.
  void Cut() { ::shutdown(socket_, SD_BOTH); }

 private:
  std::vector<std::string> Broken() {
    broken_ = true;
    return {};
  }

  SOCKET socket_ = INVALID_SOCKET;
  std::mutex mutex_;
  std::string buffer_;
  bool broken_ = false;
};

}  // namespace remote

}  // namespace corvel::test
