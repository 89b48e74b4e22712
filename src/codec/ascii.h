// ASCII helpers the protocol, header and settings code share: letter case,
// hexadecimal digits and printable text, never touching bytes above 127.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvel {

// Whether a and b are the same text when ASCII letter case is ignored.
[[nodiscard]] bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
// The value of a hexadecimal digit (either case), or -1.
[[nodiscard]] int HexDigitValue(char c);

// `text` with every byte outside printable ASCII (0x20-0x7E) left out, cut to
// `maxLength` bytes: a server's text made safe to put into a log line.
[[nodiscard]] std::string PrintableAscii(std::string_view text, std::size_t maxLength);

}  // namespace corvel
