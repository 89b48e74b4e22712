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

// The library, started by the first user and shut down by the last.
std::mutex libraryMutex;
int libraryUsers = 0;

}  // namespace

namespace bsd {
SOCKET NativeOf(SocketHandle socket) { return Native(socket); }
using AddressLength = int;
constexpr int kShutdownSend = SD_SEND;
int Fail() { return sockets::Fail(); }
}  // namespace bsd

}  // namespace corvel::sockets

#include "net/bsd_socket_calls.inc"

namespace corvel::sockets {

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
  return bsd::CollectAddresses(found, addresses);
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
