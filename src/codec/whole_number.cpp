#include "codec/whole_number.h"

#include <cstdint>

namespace corvel {

std::optional<std::int32_t> ParseWholeNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulated as a negative number, whose range holds the most negative
  // 32-bit value too.
  constexpr std::int64_t kMin = -2147483648LL;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 - (c - '0');
    if (value < kMin) return std::nullopt;
  }
  if (!negative) {
    value = -value;
    if (value > 2147483647LL) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace corvel
