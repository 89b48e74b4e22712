// Text between the program's byte strings and the UTF-16 of the Windows API.
#pragma once

#include <string>
#include <string_view>

namespace corvel {

// UTF-8 as UTF-16; bytes that are not UTF-8 are read in the system's ANSI
// code page.
[[nodiscard]] std::wstring WideText(std::string_view bytes);
// UTF-16 as UTF-8 (a lone surrogate becomes U+FFFD).
[[nodiscard]] std::string Utf8Text(std::wstring_view text);

}  // namespace corvel
