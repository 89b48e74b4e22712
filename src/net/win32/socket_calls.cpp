// The Windows back-end of net/socket_calls.h: Winsock 2 (ws2_32.dll). Its
// error numbers are the codes the program reports, so they pass unchanged.
#include "net/socket_calls.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "net/socket_errors.h"

namespace corvel::sockets {
namespace {

// Winsock keeps its own error per thread; SetLastSocketError writes there too.
int Fail() { return -1; }

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = port;
  return sa;
}

int SetIntOption(SocketHandle socket, int level, int name, int value) {
  if (::setsockopt(Native(socket), level, name, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0) {
    return Fail();
  }
  return 0;
}

// The library, started by the first user and shut down by the last.
std::mutex libraryMutex;
int libraryUsers = 0;

}  // namespace

std::string AcquireLibrary() {
  std::lock_guard lock(libraryMutex);
  if (libraryUsers == 0) {
    WSADATA data;
    // Version 2.2: the Winsock 1.1 calls the program makes are all in it, and
    // the name lookup (getaddrinfo) needs it.
    const int result = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
      return "ws2_32.dll: WSAStartup error #" + std::to_string(result);
    }
  }
  ++libraryUsers;
  return {};
}

void ReleaseLibrary() {
  std::lock_guard lock(libraryMutex);
  if (libraryUsers > 0 && --libraryUsers == 0) ::WSACleanup();
}

int FromSystemError(int systemError) { return systemError; }

int LastSocketError() { return ::WSAGetLastError(); }
void SetLastSocketError(int code) { ::WSASetLastError(code); }

SocketHandle Open(SocketType type, int protocol) {
  const int kind = type == SocketType::kStream     ? SOCK_STREAM
                   : type == SocketType::kDatagram ? SOCK_DGRAM
                                                   : SOCK_RAW;
  const SOCKET s = ::socket(AF_INET, kind, protocol);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  // Not inherited by programs this one starts.
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) {
    const int error = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(error);
    return kInvalidSocket;
  }
  return static_cast<SocketHandle>(s);
}

int Close(SocketHandle socket) {
  if (::closesocket(Native(socket)) != 0) return Fail();
  return 0;
}

int ShutdownSend(SocketHandle socket) {
  if (::shutdown(Native(socket), SD_SEND) != 0) return Fail();
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
  ::WSASetLastError(kWsaEinval);
  return -1;
}

int SetLinger(SocketHandle socket, bool on, int seconds) {
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = static_cast<u_short>(seconds);
  if (::setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                   sizeof value) != 0) {
    return Fail();
  }
  return 0;
}

int Bind(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return Fail();
  }
  return 0;
}

int LocalPort(SocketHandle socket, std::uint16_t& port) {
  sockaddr_in sa{};
  int length = sizeof sa;
  if (::getsockname(Native(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    return Fail();
  }
  port = sa.sin_port;
  return 0;
}

int Connect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa = MakeAddress(address, port);
  if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return Fail();
  }
  return 0;
}

int Send(SocketHandle socket, const void* data, int length, bool outOfBand) {
  const int sent =
      ::send(Native(socket), static_cast<const char*>(data), length, outOfBand ? MSG_OOB : 0);
  return sent == SOCKET_ERROR ? Fail() : sent;
}

int Receive(SocketHandle socket, void* buffer, int size) {
  const int got = ::recv(Native(socket), static_cast<char*>(buffer), std::max(size, 0), 0);
  return got == SOCKET_ERROR ? Fail() : got;
}

int PendingBytes(SocketHandle socket, std::int32_t& count) {
  u_long waiting = 0;
  if (::ioctlsocket(Native(socket), FIONREAD, &waiting) != 0) return Fail();
  count = static_cast<std::int32_t>(std::min<u_long>(waiting, 0x7FFFFFFF));
  return 0;
}

int SendBufferSize(SocketHandle socket, std::int32_t& bytes) {
  int size = 0;
  int length = sizeof size;
  if (::getsockopt(Native(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&size),
                   &length) != 0) {
    return Fail();
  }
  bytes = size;
  return 0;
}

int TakePendingError(SocketHandle socket) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                   &length) != 0) {
    return ::WSAGetLastError();
  }
  return error;
}

int ClosingError(SocketHandle socket) {
  int code = TakePendingError(socket);
  if (code == 0) {
    char byte = 0;
    if (::recv(Native(socket), &byte, 1, MSG_PEEK) >= 0) return 0;
    code = ::WSAGetLastError();
  }
  return code == WSAECONNRESET || code == WSAECONNABORTED ? code : 0;
}

// The lookups may run before any socket object exists (or on the lookup
// worker), so each holds the library for its own duration.
namespace {
struct LibraryHold {
  std::string failure = AcquireLibrary();
  ~LibraryHold() {
    if (failure.empty()) ReleaseLibrary();
  }
};
}  // namespace

int LookupHost(const std::string& name, std::vector<std::uint32_t>& addresses) {
  addresses.clear();
  LibraryHold hold;
  if (!hold.failure.empty()) return kWsaNotInitialised;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (result != 0) return result;  // WSAHOST_NOT_FOUND and its kin
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

// getservbyname and getprotobyname keep their result per thread in Winsock.
int LookupService(const std::string& name, const std::string& protocol, std::uint16_t& port) {
  LibraryHold hold;
  if (!hold.failure.empty()) return kWsaNotInitialised;
  const servent* found = ::getservbyname(name.c_str(), protocol.c_str());
  if (found == nullptr) {
    const int error = ::WSAGetLastError();
    return error != 0 ? error : kWsaNoData;
  }
  port = NetToHost16(static_cast<std::uint16_t>(found->s_port));
  return 0;
}

int LookupProtocol(const std::string& name, int& number) {
  LibraryHold hold;
  if (!hold.failure.empty()) return kWsaNotInitialised;
  const protoent* found = ::getprotobyname(name.c_str());
  if (found == nullptr) {
    const int error = ::WSAGetLastError();
    return error != 0 ? error : kWsaNoData;
  }
  number = found->p_proto;
  return 0;
}

}  // namespace corvel::sockets
