// Conversion of host, port and protocol texts into the numbers a socket
// needs. The lookups behind them are blocking and run on the caller's thread;
// every failure raises SocketException with a fixed text whose "Error #"
// number is a Windows Sockets code (socket_errors.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// The text with leading and trailing characters 0-32 removed.
[[nodiscard]] std::string_view TrimBlanks(std::string_view text);

// True for four decimal numbers of at most 255 separated by dots, with
// leading blanks and a trailing run of blanks allowed ("10.0.0.1 ").
[[nodiscard]] bool IsDottedQuad(std::string_view text);

// The address of a text that passes IsDottedQuad, in network byte order. The
// numbers are read as decimal, as IsDottedQuad checked them.
[[nodiscard]] std::uint32_t DottedQuadToAddress(std::string_view text);

// The dotted text of an address in network byte order ("10.0.0.1").
[[nodiscard]] std::string AddressToText(std::uint32_t address);

// The IPv4 address (network byte order) of a dotted quad or a host name.
[[nodiscard]] std::uint32_t ResolveHost(const std::string& text);

// The port number (host byte order) of a decimal text or a service name.
[[nodiscard]] std::uint16_t ResolvePort(const std::string& port, const std::string& proto);

// The protocol number of a decimal text, "tcp", "udp", "raw" or a protocol
// name.
[[nodiscard]] int ResolveProto(const std::string& proto);

}  // namespace corvel
