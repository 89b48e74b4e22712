// POSIX error numbers and resolver failures, turned into the Windows Sockets
// codes the program reports (see net/socket_errors.h). Both tables live in
// error_map.cpp.
#pragma once

namespace corvel {

// The code for an errno value. An errno with no socket meaning is passed on
// unchanged (it then reads "Not a WinSock error", with its own number).
[[nodiscard]] int SocketErrorFromErrno(int errnoValue);

// The code for a getaddrinfo() result (EAI_*); EAI_SYSTEM is resolved through
// errnoValue.
[[nodiscard]] int SocketErrorFromResolver(int resolverError, int errnoValue);

}  // namespace corvel
