#include "codec/ascii.h"

#include <algorithm>

namespace corvel {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PrintableAscii(std::string_view text, std::size_t maxLength) {
  std::string result;
  for (char c : text) {
    if (result.size() >= maxLength) break;
    if (c >= 0x20 && c <= 0x7E) result.push_back(c);
  }
  return result;
}

}  // namespace corvel
