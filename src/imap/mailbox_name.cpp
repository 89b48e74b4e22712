#include "imap/mailbox_name.h"

#include <cstdint>
#include <vector>

#include "codec/utf8.h"

namespace corvel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int AlphabetValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

bool IsPrintableAscii(std::uint32_t c) { return c >= 0x20 && c <= 0x7E; }

// "&" + the Base64 of the UTF-16 code units + "-".
void AppendShifted(std::string& out, const std::vector<std::uint16_t>& units) {
  out += '&';
  std::uint32_t bits = 0;
  int count = 0;
  for (std::uint16_t unit : units) {
    bits = (bits << 16) | unit;
    count += 16;
    while (count >= 6) {
      count -= 6;
      out += kAlphabet[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3F];
  out += '-';
}

}  // namespace

std::optional<std::string> EncodeModifiedUtf7(std::string_view utf8) {
  const std::optional<std::vector<std::uint32_t>> points = Utf8CodePoints(utf8);
  if (!points) return std::nullopt;
  std::string out;
  std::vector<std::uint16_t> run;
  for (std::uint32_t point : *points) {
    if (IsPrintableAscii(point)) {
      if (!run.empty()) {
        AppendShifted(out, run);
        run.clear();
      }
      out += static_cast<char>(point);
      if (point == '&') out += '-';
      continue;
    }
    if (point >= 0x10000) {
      const std::uint32_t v = point - 0x10000;
      run.push_back(static_cast<std::uint16_t>(0xD800 | (v >> 10)));
      run.push_back(static_cast<std::uint16_t>(0xDC00 | (v & 0x3FF)));
    } else {
      run.push_back(static_cast<std::uint16_t>(point));
    }
  }
  if (!run.empty()) AppendShifted(out, run);
  return out;
}

std::optional<std::string> DecodeModifiedUtf7(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    const char c = name[i];
    if (!IsPrintableAscii(static_cast<unsigned char>(c))) return std::nullopt;
    if (c != '&') {
      out += c;
      ++i;
      continue;
    }
    const std::size_t end = name.find('-', i + 1);
    if (end == std::string_view::npos) return std::nullopt;
    if (end == i + 1) {
      out += '&';
      i = end + 1;
      continue;
    }
    std::uint32_t bits = 0;
    int count = 0;
    std::uint16_t high = 0;  // a high surrogate waiting for its pair
    for (std::size_t k = i + 1; k < end; ++k) {
      const int value = AlphabetValue(name[k]);
      if (value < 0) return std::nullopt;
      bits = ((bits << 6) | static_cast<std::uint32_t>(value)) & 0x3FFFFF;
      count += 6;
      if (count < 16) continue;
      count -= 16;
      const auto unit = static_cast<std::uint16_t>((bits >> count) & 0xFFFF);
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (high != 0) return std::nullopt;
        high = unit;
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        if (high == 0) return std::nullopt;
        AppendUtf8(out, 0x10000 + ((static_cast<std::uint32_t>(high - 0xD800) << 10) |
                                   static_cast<std::uint32_t>(unit - 0xDC00)));
        high = 0;
      } else {
        if (high != 0 || IsPrintableAscii(unit)) return std::nullopt;
        AppendUtf8(out, unit);
      }
    }
    // What is left must be padding: fewer than six zero bits.
    if (high != 0 || count >= 6 || (bits & ((1u << count) - 1)) != 0) return std::nullopt;
    i = end + 1;
  }
  return out;
}

}  // namespace corvel
