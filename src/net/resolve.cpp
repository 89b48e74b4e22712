#include "net/resolve.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "net/async_socket.h"
#include "net/socket_calls.h"

namespace corvel {
namespace {

constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;  // what "255.255.255.255" converts to
constexpr std::size_t kMaxHostText = 256;
constexpr std::size_t kMaxPortOrProtoText = 31;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The value of the leading decimal digits; larger values than `cap` read as
// cap + 1, so a long run of digits cannot overflow.
std::uint32_t LeadingNumber(std::string_view text, std::uint32_t cap) {
  std::uint32_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) break;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > cap) return cap + 1;
  }
  return value;
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsDottedQuad(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  if (i == n || text[i] == '.') return false;
  int dots = 0;
  std::uint32_t number = 0;
  for (; i < n; ++i) {
    char c = text[i];
    if (IsDigit(c)) {
      number = std::min<std::uint32_t>(number * 10 + static_cast<std::uint32_t>(c - '0'), 256);
    } else if (c == '.') {
      if (dots == 3 || number > 255) return false;
      if (i + 1 >= n || !IsDigit(text[i + 1])) return false;
      ++dots;
      number = 0;
    } else if (c == ' ') {
      // Only a trailing run of blanks may follow the last number.
      for (std::size_t j = i; j < n; ++j) {
        if (text[j] != ' ') return false;
      }
      break;
    } else {
      return false;
    }
  }
  return dots == 3 && number <= 255;
}

std::uint32_t DottedQuadToAddress(std::string_view text) {
  text = TrimBlanks(text);
  std::uint32_t hostOrder = 0;
  for (int part = 0; part < 4; ++part) {
    std::uint32_t number = LeadingNumber(text, 255) & 0xFFu;
    hostOrder = (hostOrder << 8) | number;
    std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  return sockets::HostToNet32(hostOrder);
}

std::string AddressToText(std::uint32_t address) {
  std::uint32_t hostOrder = sockets::NetToHost32(address);
  return std::to_string((hostOrder >> 24) & 0xFF) + "." + std::to_string((hostOrder >> 16) & 0xFF) +
         "." + std::to_string((hostOrder >> 8) & 0xFF) + "." + std::to_string(hostOrder & 0xFF);
}

std::uint32_t ResolveHost(const std::string& text) {
  if (text.empty() || text.size() > kMaxHostText) {
    throw SocketException("ResolveHost: '" + text + "' Invalid Hostname.");
  }
  std::string host(TrimBlanks(text));
  if (IsDottedQuad(host)) {
    std::uint32_t address = DottedQuadToAddress(host);
    if (address == kAddressNone && host != "255.255.255.255") {
      throw SocketException("ResolveHost: '" + host + "' Invalid IP address.");
    }
    return address;
  }
  std::vector<std::uint32_t> addresses;
  int error = sockets::LookupHost(host, addresses);
  if (error != 0) {
    throw SocketException("ResolveHost: Cannot convert host address '" + host + "', Error #" +
                          std::to_string(error));
  }
  return addresses.front();
}

std::uint16_t ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() > kMaxPortOrProtoText) {
    throw SocketException("ResolvePort: Invalid Port.");
  }
  if (proto.empty() || proto.size() > kMaxPortOrProtoText) {
    throw SocketException("ResolvePort: Invalid Proto.");
  }
  if (IsDigit(port.front())) {
    // A number beyond the 16-bit range would silently name another port.
    std::uint32_t number = LeadingNumber(port, 65535);
    if (number > 65535) throw SocketException("ResolvePort: Invalid Port.");
    return static_cast<std::uint16_t>(number);
  }
  std::string name(TrimBlanks(port));
  std::uint16_t number = 0;
  int error = sockets::LookupService(name, std::string(TrimBlanks(proto)), number);
  if (error != 0) {
    throw SocketException("ResolvePort: Cannot convert port '" + name + "', Error #" +
                          std::to_string(error));
  }
  return number;
}

int ResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() > kMaxPortOrProtoText) {
    throw SocketException("ResolveProto: Invalid Protocol.");
  }
  if (IsDigit(proto.front())) return static_cast<int>(LeadingNumber(proto, 0x7FFFFFFE));
  std::string name(TrimBlanks(proto));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name == "tcp") return 6;
  if (name == "udp") return 17;
  if (name == "raw") return 255;
  int number = 0;
  int error = sockets::LookupProtocol(name, number);
  if (error != 0) {
    throw SocketException("ResolveProto: Cannot convert protocol '" + name + "', Error #" +
                          std::to_string(error));
  }
  return number;
}

}  // namespace corvel
