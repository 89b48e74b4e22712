// The operating-system socket calls under AsyncSocket and the resolution
// functions, behind one small interface: each platform supplies a back-end
// (posix/socket_calls.cpp on POSIX systems; a Winsock one beside it on
// Windows), and nothing above this header includes an OS header.
//
// Every call that fails returns -1 (kInvalidSocket for Open) and leaves a
// Windows Sockets error code in LastSocketError(), the way the Winsock calls
// leave theirs for WSAGetLastError(). The blocking lookups return their code
// instead. Addresses and ports are IPv4 values in network byte order unless a
// name says otherwise.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "net/event_loop.h"

namespace corvel::sockets {

enum class SocketType { kStream, kDatagram, kRaw };
enum class BoolOption { kReuseAddr, kKeepAlive, kTcpNoDelay };

// The system's socket library, counted by its users (each socket object is
// one): the first Acquire starts it, the last Release shuts it down. Acquire
// returns the failure text when the library cannot be started, and empty on
// success; the user then must not call Release. POSIX has nothing to start.
[[nodiscard]] std::string AcquireLibrary();
void ReleaseLibrary();

// The code for one of the platform's own error numbers (errno on POSIX).
[[nodiscard]] int FromSystemError(int systemError);

// The error left by the last failed call on this thread.
[[nodiscard]] int LastSocketError();
void SetLastSocketError(int code);

// A non-blocking, close-on-exec IPv4 socket.
[[nodiscard]] SocketHandle Open(SocketType type, int protocol);
int Close(SocketHandle socket);
int ShutdownSend(SocketHandle socket);
int SetBoolOption(SocketHandle socket, BoolOption option, bool on);
int SetLinger(SocketHandle socket, bool on, int seconds);
int Bind(SocketHandle socket, std::uint32_t address, std::uint16_t port);
// The local port the socket is bound to.
int LocalPort(SocketHandle socket, std::uint16_t& port);
// Starts a connection; -1 with 10035 or 10036 means it is under way.
int Connect(SocketHandle socket, std::uint32_t address, std::uint16_t port);
// Never raises a signal when the peer has gone.
int Send(SocketHandle socket, const void* data, int length, bool outOfBand);
int Receive(SocketHandle socket, void* buffer, int size);
// Bytes waiting to be read.
int PendingBytes(SocketHandle socket, std::int32_t& count);
// The size of the system's send buffer for the socket (SO_SNDBUF).
int SendBufferSize(SocketHandle socket, std::int32_t& bytes);
// The socket's pending error, cleared by reading it; 0 when none. A failure of
// the query itself is returned as its own code.
[[nodiscard]] int TakePendingError(SocketHandle socket);
// Once the peer's close has been reported: the reset code when the
// connection was reset rather than closed in order, else 0. Reads nothing.
[[nodiscard]] int ClosingError(SocketHandle socket);

// Blocking lookups on the caller's thread; 0 or an error code.
// IPv4 addresses of a host name, in resolver order, without duplicates.
int LookupHost(const std::string& name, std::vector<std::uint32_t>& addresses);
// Port (host byte order) of a service name for a protocol name.
int LookupService(const std::string& name, const std::string& protocol, std::uint16_t& port);
int LookupProtocol(const std::string& name, int& number);

// Byte order, without an OS header.
[[nodiscard]] constexpr std::uint16_t HostToNet16(std::uint16_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
  } else {
    return value;
  }
}
[[nodiscard]] constexpr std::uint16_t NetToHost16(std::uint16_t value) {
  return HostToNet16(value);
}
[[nodiscard]] constexpr std::uint32_t HostToNet32(std::uint32_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
           (value >> 24);
  } else {
    return value;
  }
}
[[nodiscard]] constexpr std::uint32_t NetToHost32(std::uint32_t value) {
  return HostToNet32(value);
}

}  // namespace corvel::sockets
