// UTF-8 (RFC 3629): the texts Corvel keeps in UTF-8 of its own (mailbox
// names, the options side file) are checked and taken apart here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// The code points of well-formed UTF-8; nothing for an overlong form, a
// surrogate, a value beyond U+10FFFF or a cut sequence.
[[nodiscard]] std::optional<std::vector<std::uint32_t>> Utf8CodePoints(std::string_view utf8);

// Whether `utf8` is well-formed UTF-8.
[[nodiscard]] bool IsWellFormedUtf8(std::string_view utf8);

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, std::uint32_t point);

}  // namespace corvel
