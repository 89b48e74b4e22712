#include "app/text/display_text.h"

#include <gtest/gtest.h>

#include <string>

namespace corvel {
namespace {

TEST(DisplayText, Windows1252BytesBecomeUtf8OnlyWhenTheyAreNotUtf8Already) {
  EXPECT_TRUE(
      IsValidUtf8("Gr\xC3\xBC\xC3\x9F"
                  "e"));
  EXPECT_FALSE(
      IsValidUtf8("Gr\xFC\xDF"
                  "e"));
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));      // overlong
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_EQ(Windows1252ToUtf8("Caf\xE9 \x96 \x80"), "Caf\xC3\xA9 \xE2\x80\x93 \xE2\x82\xAC");
  EXPECT_EQ(Windows1252ToUtf8("\x81"), "\xEF\xBF\xBD");
  EXPECT_EQ(DisplayText("Gr\xC3\xBC\xC3\x9F"
                        "e"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(DisplayText("Gr\xFC\xDF"
                        "e"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
}

struct HeaderCase {
  const char* raw;
  const char* shown;
};

TEST(DisplayText, HeaderValuesAreDecodedInTheirOwnCharacterSet) {
  const HeaderCase cases[] = {
      {"=?UTF-8?B?SGVsbG8=?=", "Hello"},
      {"=?utf-8?q?Gr=C3=BC=C3=9Fe?= <a@b>",
       "Gr\xC3\xBC\xC3\x9F"
       "e <a@b>"},
      {"=?iso-8859-1?q?Gr=FC=DFe?=",
       "Gr\xC3\xBC\xC3\x9F"
       "e"},
      // ISO-8859-2 0xB3 is l with stroke, not the superscript three of Latin-1.
      {"=?ISO-8859-2?Q?=B3?=", "\xC5\x82"},
      {"=?KOI8-R?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
      {"=?ISO-2022-JP?B?GyRCMCEbKEI=?=", "\xE4\xBA\x9C"},
      {"=?Shift_JIS?B?iJ8=?=", "\xE4\xBA\x9C"},
      // White space between adjacent words goes; a character split across
      // two words of the same set survives.
      {"=?UTF-8?Q?a?= =?UTF-8?Q?b?=", "ab"},
      {"=?UTF-8?B?w6k=?=x =?UTF-8?Q?=C3?=\r\n =?UTF-8?Q?=A9?=", "\xC3\xA9x \xC3\xA9"},
      {"=?UTF-8*en?Q?Hi?=", "Hi"},
      // Not words: left as they are.
      {"=?UTF-8?X?abc?= =?UTF-8?Q?open", "=?UTF-8?X?abc?= =?UTF-8?Q?open"},
      {"100% =? sure", "100% =? sure"},
      // Unknown sets and stray 8-bit bytes: as the program's own bytes.
      {"=?X-NOSUCH?Q?caf=E9?=", "caf\xC3\xA9"},
      {"Caf\xE9", "Caf\xC3\xA9"},
      // Bad bytes in a known set, control characters, zero bytes.
      {"=?UTF-8?Q?a=FFb?=",
       "a\xEF\xBF\xBD"
       "b"},
      {"=?ISO-2022-JP?B?GyRCMA==?=", "\xEF\xBF\xBD"},
      {"=?UTF-8?Q?a=0Ab=00c?=\tx", "a bc x"},
      {"=?UTF-8//TRANSLIT?Q?x?=", "=?UTF-8//TRANSLIT?Q?x?="},
  };
  for (const HeaderCase& c : cases) {
    const std::string shown = HeaderDisplayText(c.raw);
    EXPECT_EQ(shown, c.shown) << c.raw;
    EXPECT_TRUE(IsValidUtf8(shown)) << c.raw;
  }
}

TEST(DisplayText, EveryByteStringGivesValidUtf8) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (const char* charset : {"UTF-8", "ISO-2022-JP", "Shift_JIS", "ISO-8859-1", "US-ASCII"}) {
    for (const std::string& bytes : {all, std::string("\x1B$B\x30"), std::string("\x82")}) {
      const std::optional<std::string> converted = CharsetToUtf8(charset, bytes);
      ASSERT_TRUE(converted.has_value()) << charset;
      EXPECT_TRUE(IsValidUtf8(*converted)) << charset;
    }
  }
  EXPECT_TRUE(IsValidUtf8(HeaderDisplayText(all)));
  EXPECT_FALSE(CharsetToUtf8("X-NOSUCH", "a").has_value());
}

TEST(DisplayText, MailRowsShowTheRawValuesDecodedAndTheRestAsText) {
  MailRow row{"Caf\xE9", "J\xF6rg", "=?UTF-8?B?SGVsbG8=?=",    "d",
              "12",      "u1",      "=?ISO-8859-1?Q?J=F6rg?=", "=?UTF-8?B?SGVsbG8=?="};
  const auto columns = DisplayColumns(row);
  EXPECT_EQ(columns[0], "Caf\xC3\xA9");
  EXPECT_EQ(columns[1], "J\xC3\xB6rg");
  EXPECT_EQ(columns[2], "Hello");
  EXPECT_EQ(columns[5], "u1");
  row.rawFrom.clear();  // an overview row, or one made without the raw values
  EXPECT_EQ(DisplayColumns(row)[1], "J\xC3\xB6rg");
}

}  // namespace
}  // namespace corvel
