// The POSIX back-end of net/socket_calls.h: BSD sockets, getaddrinfo and the
// reentrant services and protocols database calls.
#include "net/socket_calls.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "net/posix/error_map.h"
#include "net/socket_errors.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // such systems get SO_NOSIGPIPE at creation instead
#endif

namespace corvel::sockets {
namespace {

thread_local int lastError = 0;

int Fail() {
  lastError = SocketErrorFromErrno(errno);
  return -1;
}

int FdOf(SocketHandle socket) { return static_cast<int>(socket); }

}  // namespace

namespace bsd {
int NativeOf(SocketHandle socket) { return FdOf(socket); }
using AddressLength = socklen_t;
constexpr int kShutdownSend = SHUT_WR;
int Fail() { return sockets::Fail(); }
}  // namespace bsd

}  // namespace corvel::sockets

#include "net/bsd_socket_calls.inc"

namespace corvel::sockets {

std::string AcquireLibrary() { return {}; }
void ReleaseLibrary() {}

int FromSystemError(int systemError) { return SocketErrorFromErrno(systemError); }

int LastSocketError() { return lastError; }
void SetLastSocketError(int code) { lastError = code; }

SocketHandle Open(SocketType type, int protocol) {
  int kind = type == SocketType::kStream     ? SOCK_STREAM
             : type == SocketType::kDatagram ? SOCK_DGRAM
                                             : SOCK_RAW;
#ifdef SOCK_CLOEXEC
  // Close-on-exec from the start: a program started by another thread in
  // the meantime must not inherit the connection.
  int fd = ::socket(AF_INET, kind | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
#else
  int fd = ::socket(AF_INET, kind, protocol);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
      ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    Fail();
    ::close(fd);
    return kInvalidSocket;
  }
#endif
#ifdef SO_NOSIGPIPE
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

int Close(SocketHandle socket) {
  // An interrupted close() has still released the descriptor; retrying could
  // close a descriptor opened meanwhile by another thread.
  if (::close(FdOf(socket)) != 0 && errno != EINTR) return Fail();
  return 0;
}

int Send(SocketHandle socket, const void* data, int length, bool outOfBand) {
  int flags = MSG_NOSIGNAL | (outOfBand ? MSG_OOB : 0);
  ssize_t sent;
  do {
    sent = ::send(FdOf(socket), data, static_cast<std::size_t>(length), flags);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return Fail();
  return static_cast<int>(sent);
}

int Receive(SocketHandle socket, void* buffer, int size) {
  ssize_t got;
  do {
    got = ::recv(FdOf(socket), buffer, static_cast<std::size_t>(std::max(size, 0)), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return Fail();
  return static_cast<int>(got);
}

int PendingBytes(SocketHandle socket, std::int32_t& count) {
  int waiting = 0;
  if (::ioctl(FdOf(socket), FIONREAD, &waiting) != 0) return Fail();
  count = waiting;
  return 0;
}

int SendBufferSize(SocketHandle socket, std::int32_t& bytes) {
  int size = 0;
  socklen_t length = sizeof size;
  if (::getsockopt(FdOf(socket), SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) return Fail();
  bytes = size;
  return 0;
}

int TakePendingError(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(FdOf(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return SocketErrorFromErrno(errno);
  }
  return error == 0 ? 0 : SocketErrorFromErrno(error);
}

int ClosingError(SocketHandle socket) {
  char byte = 0;
  if (::recv(FdOf(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0) return 0;
  const int code = SocketErrorFromErrno(errno);
  return code == kWsaEconnreset || code == kWsaEconnaborted ? code : 0;
}

int LookupHost(const std::string& name, std::vector<std::uint32_t>& addresses) {
  addresses.clear();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  errno = 0;
  int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (result != 0) return SocketErrorFromResolver(result, errno);
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  return bsd::CollectAddresses(found, addresses);
}

// The services and protocols databases answer "not found" with no error
// number; Windows reports that as "No Data".
int LookupService(const std::string& name, const std::string& protocol, std::uint16_t& port) {
  servent entry{};
  servent* found = nullptr;
  std::vector<char> buffer(1024);
  for (;;) {
    int result = ::getservbyname_r(name.c_str(), protocol.c_str(), &entry, buffer.data(),
                                   buffer.size(), &found);
    if (result == ERANGE && buffer.size() < 65536) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (result != 0 || found == nullptr) return kWsaNoData;
    port = NetToHost16(static_cast<std::uint16_t>(found->s_port));
    return 0;
  }
}

int LookupProtocol(const std::string& name, int& number) {
  protoent entry{};
  protoent* found = nullptr;
  std::vector<char> buffer(1024);
  for (;;) {
    int result = ::getprotobyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (result == ERANGE && buffer.size() < 65536) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (result != 0 || found == nullptr) return kWsaNoData;
    number = found->p_proto;
    return 0;
  }
}

}  // namespace corvel::sockets
