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

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = port;
  return sa;
}

int SetIntOption(SocketHandle socket, int level, int name, int value) {
  if (::setsockopt(FdOf(socket), level, name, &value, sizeof value) != 0) return Fail();
  return 0;
}

}  // namespace

std::string AcquireLibrary() { return {}; }
void ReleaseLibrary() {}

int FromSystemError(int systemError) { return SocketErrorFromErrno(systemError); }

int LastSocketError() { return lastError; }
void SetLastSocketError(int code) { lastError = code; }

SocketHandle Open(SocketType type, int protocol) {
  int kind = type == SocketType::kStream     ? SOCK_STREAM
             : type == SocketType::kDatagram ? SOCK_DGRAM
                                             : SOCK_RAW;
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

int ShutdownSend(SocketHandle socket) {
  if (::shutdown(FdOf(socket), SHUT_WR) != 0) return Fail();
  return 0;
}

int SetBoolOption(SocketHandle socket, BoolOption option, bool on) {
  switch (option) {
    case BoolOption::kReuseAddr:
      return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
    case BoolOption::kKeepAlive:
      return SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
    case BoolOption::kTcpNoDelay:
      return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
  }
  lastError = kWsaEinval;
  return -1;
}

int SetLinger(SocketHandle socket, bool on, int seconds) {
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = seconds;
  if (::setsockopt(FdOf(socket), SOL_SOCKET, SO_LINGER, &value, sizeof value) != 0) return Fail();
  return 0;
}

int Bind(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(FdOf(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return Fail();
  return 0;
}

int LocalPort(SocketHandle socket, std::uint16_t& port) {
  sockaddr_in sa{};
  socklen_t length = sizeof sa;
  if (::getsockname(FdOf(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) return Fail();
  port = sa.sin_port;
  return 0;
}

int Connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::connect(FdOf(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return Fail();
  }
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
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    std::uint32_t address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
      addresses.push_back(address);
    }
  }
  return addresses.empty() ? kWsaNoData : 0;
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
