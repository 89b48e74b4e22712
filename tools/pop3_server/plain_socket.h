// The few BSD socket calls the test servers and the tests' own peers use,
// the same on POSIX systems and on Windows (Winsock 2, started here on first
// use). A socket is an int, as a file descriptor is; a Winsock handle fits.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace corvel::test::plain {

#ifdef _WIN32
inline void Start() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
inline int LastError() { return WSAGetLastError(); }
inline bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }
inline bool ConnectionGone(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}
inline int Poll(pollfd* fds, std::size_t count, int timeoutMs) {
  return WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}
inline void Close(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
// A zero linger time: the close that follows sends a reset.
inline void LingerZero(int fd) {
  const linger abortive{1, 0};
  (void)::setsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char*>(&abortive), sizeof abortive);
}
inline void ShutdownSend(int fd) { ::shutdown(static_cast<SOCKET>(fd), SD_SEND); }
// Sockets made here never block: every wait is a Poll with a time-out.
inline int MakeNonBlocking(int fd) {
  u_long on = 1;
  return ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on) == 0 ? fd : (Close(fd), -1);
}
inline int Open(int type) {
  Start();
  const SOCKET s = ::socket(AF_INET, type, 0);
  return s == INVALID_SOCKET ? -1 : MakeNonBlocking(static_cast<int>(s));
}
inline int Accept(int listener) {
  const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : MakeNonBlocking(static_cast<int>(s));
}
inline int Send(int fd, const char* data, std::size_t size) {
  return ::send(static_cast<SOCKET>(fd), data, static_cast<int>(size), 0);
}
inline int Receive(int fd, char* buffer, std::size_t size) {
  return ::recv(static_cast<SOCKET>(fd), buffer, static_cast<int>(size), 0);
}
#else
inline void Start() {}
inline int LastError() { return errno; }
inline bool WouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
inline bool ConnectionGone(int error) { return error == EPIPE || error == ECONNRESET; }
inline int Poll(pollfd* fds, std::size_t count, int timeoutMs) {
  return ::poll(fds, count, timeoutMs);
}
inline void Close(int fd) { ::close(fd); }
inline void LingerZero(int fd) {
  const linger abortive{1, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}
inline void ShutdownSend(int fd) { ::shutdown(fd, SHUT_WR); }
inline int Open(int type) { return ::socket(AF_INET, type | SOCK_CLOEXEC, 0); }
inline int Accept(int listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }
inline int Send(int fd, const char* data, std::size_t size) {
  return static_cast<int>(::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT));
}
inline int Receive(int fd, char* buffer, std::size_t size) {
  return static_cast<int>(::recv(fd, buffer, size, MSG_DONTWAIT));
}
#endif

// Binds to 127.0.0.1 with a port the system chooses and returns that port
// (network byte order), or -1.
inline long BindLoopback(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  return address.sin_port;
}

}  // namespace corvel::test::plain
