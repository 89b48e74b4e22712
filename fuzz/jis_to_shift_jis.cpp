// JisToShiftJis on any bytes an ISO-2022-JP encoded word may decode to: no
// crash, and every JIS X 0208 character comes out as the Shift_JIS pair that
// converts back to it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/header_decode.h"
#include "fuzz_check.h"

namespace {

// The JIS X 0208 row/cell pair a Shift_JIS pair stands for.
void ShiftJisToJis(std::uint8_t s1, std::uint8_t s2, std::uint8_t& c1, std::uint8_t& c2) {
  int row = s1 >= 0xE0 ? s1 - 0x40 : s1;
  row = (row - 0x81) * 2 + 0x21;
  int cell = s2;
  if (cell >= 0x9F) {
    ++row;
    cell -= 0x7E;
  } else {
    if (cell >= 0x80) --cell;
    cell -= 0x1F;
  }
  c1 = static_cast<std::uint8_t>(row);
  c2 = static_cast<std::uint8_t>(cell);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view jis(reinterpret_cast<const char*>(data), size);
  const std::string sjis = corvel::JisToShiftJis(jis);
  // Two bytes give at most two, escape sequences are dropped.
  FUZZ_CHECK(sjis.size() <= jis.size());
  // Text without an escape is single-byte text, taken as it is.
  if (jis.find('\x1b') == std::string_view::npos) FUZZ_CHECK(sjis == jis);

  // The same bytes as JIS X 0208 characters (each byte moved into 0x21-0x7E).
  std::string pairs;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    pairs += static_cast<char>(0x21 + data[i] % 94);
    pairs += static_cast<char>(0x21 + data[i + 1] % 94);
  }
  const std::string converted = corvel::JisToShiftJis("\x1b$B" + pairs + "\x1b(B");
  FUZZ_CHECK(converted.size() == pairs.size());
  for (std::size_t i = 0; i < converted.size(); i += 2) {
    const auto s1 = static_cast<std::uint8_t>(converted[i]);
    const auto s2 = static_cast<std::uint8_t>(converted[i + 1]);
    FUZZ_CHECK((s1 >= 0x81 && s1 <= 0x9F) || (s1 >= 0xE0 && s1 <= 0xEF));
    FUZZ_CHECK(s2 >= 0x40 && s2 <= 0xFC && s2 != 0x7F);
    std::uint8_t c1 = 0;
    std::uint8_t c2 = 0;
    ShiftJisToJis(s1, s2, c1, c2);
    FUZZ_CHECK(c1 == static_cast<std::uint8_t>(pairs[i]));
    FUZZ_CHECK(c2 == static_cast<std::uint8_t>(pairs[i + 1]));
  }
  return 0;
}
