#include "codec/base64.h"

#include <array>
#include <cstdint>

namespace corvel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kPadValue = 64;
constexpr uint8_t kOtherValue = 255;

// Values of the character codes 0-127: the alphabet 0-63, "=" 64, the rest 255.
constexpr std::array<uint8_t, 128> MakeDecodeTable() {
  std::array<uint8_t, 128> table{};
  for (auto& value : table) value = kOtherValue;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  table['='] = kPadValue;
  return table;
}
constexpr std::array<uint8_t, 128> kDecodeTable = MakeDecodeTable();

// The value of the character at `pos`. Codes 128-255 lie outside the table and
// count like every other character outside the alphabet (255), so they are
// never looked up past its end. A position past the end of the text, reached
// by a last group of fewer than four characters, counts as "=": the group
// then yields the bytes its characters complete, as unpadded Base64 would.
uint8_t ValueAt(std::string_view text, size_t pos) {
  if (pos >= text.size()) return kPadValue;
  const auto code = static_cast<unsigned char>(text[pos]);
  return code < kDecodeTable.size() ? kDecodeTable[code] : kOtherValue;
}

}  // namespace

std::string EncodeBase64(std::string_view data) {
  std::string text;
  text.reserve((data.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const uint32_t group = (uint32_t{static_cast<uint8_t>(data[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(data[i + 1])} << 8) |
                           static_cast<uint8_t>(data[i + 2]);
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.push_back(kAlphabet[(group >> 6) & 63]);
    text.push_back(kAlphabet[group & 63]);
  }
  const size_t rest = data.size() - i;
  if (rest == 2) {
    const uint32_t group = (uint32_t{static_cast<uint8_t>(data[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(data[i + 1])} << 8);
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.push_back(kAlphabet[(group >> 6) & 63]);
    text.push_back('=');
  } else if (rest == 1) {
    const uint32_t group = uint32_t{static_cast<uint8_t>(data[i])} << 16;
    text.push_back(kAlphabet[(group >> 18) & 63]);
    text.push_back(kAlphabet[(group >> 12) & 63]);
    text.append("==");
  }
  return text;
}

std::string DecodeBase64(std::string_view text) {
  std::string data;
  data.reserve(text.size() / 4 * 3 + 3);
  for (size_t pos = 0; pos < text.size(); pos += 4) {
    const uint8_t x1 = ValueAt(text, pos);
    const uint8_t x2 = ValueAt(text, pos + 1);
    const uint8_t x3 = ValueAt(text, pos + 2);
    const uint8_t x4 = ValueAt(text, pos + 3);
    // The masks make "=" (64) bring zero bits and 255 the bits of 63.
    data.push_back(static_cast<char>(((x1 & 63) << 2) | ((x2 & 48) >> 4)));
    if (x3 == kPadValue) continue;
    data.push_back(static_cast<char>(((x2 & 15) << 4) | ((x3 & 60) >> 2)));
    if (x4 == kPadValue) continue;
    data.push_back(static_cast<char>(((x3 & 3) << 6) | (x4 & 63)));
  }
  return data;
}

}  // namespace corvel
