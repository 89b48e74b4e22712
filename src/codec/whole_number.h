// Whole numbers written as text: the settings store's integers, the window
// geometry, the account editor's port and interval boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvel {

// An optional sign followed by decimal digits, within 32 bits; nothing for
// any other text (blanks, hexadecimal, "12x", an empty text).
[[nodiscard]] std::optional<std::int32_t> ParseWholeNumber(std::string_view text);

}  // namespace corvel
