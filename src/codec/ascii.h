// ASCII helpers the protocol, header and settings code share: letter case
// and hexadecimal digits, never touching bytes above 127.
#pragma once

#include <string_view>

namespace corvel {

// Whether a and b are the same text when ASCII letter case is ignored.
[[nodiscard]] bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);
// The value of a hexadecimal digit (either case), or -1.
[[nodiscard]] int HexDigitValue(char c);

}  // namespace corvel
