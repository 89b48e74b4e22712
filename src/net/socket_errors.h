// Socket error codes and their English texts.
//
// The socket layer reports every failure with a Windows Sockets error number
// (10004 ... 11004), whatever the platform underneath: the POP3 client shows
// them to the user as "-ERR <text> (Winsock error #<code>)", and the check
// cycle logs them. Each back-end turns its own error numbers into these codes
// (posix/error_map.h for errno and the resolver's EAI_* values).
#pragma once

#include <string>

namespace corvel {

// Codes the socket layer itself hands out, named for the places that use them.
inline constexpr int kWsaEintr = 10004;  // interrupted: a cancelled lookup
inline constexpr int kWsaEbadf = 10009;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEwouldblock = 10035;  // nothing to read, send buffer full
inline constexpr int kWsaEinprogress = 10036;  // a non-blocking connect has started
inline constexpr int kWsaEnotsock = 10038;     // no socket handle
inline constexpr int kWsaEconnaborted = 10053;
inline constexpr int kWsaEconnreset = 10054;
inline constexpr int kWsaEnotconn = 10057;
inline constexpr int kWsaEconnrefused = 10061;
inline constexpr int kWsaNotInitialised = 10093;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// The English text of a socket error code, without a trailing period;
// "Not a WinSock error" for a code outside the table.
[[nodiscard]] std::string SocketErrorText(int code);

}  // namespace corvel
