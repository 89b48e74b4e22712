// Modified UTF-7 mailbox names (RFC 3501 5.1.3), both ways.
#include "imap/mailbox_name.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

TEST(MailboxName, EncodesAndDecodesModifiedUtf7) {
  const struct {
    const char* utf8;
    const char* wire;
  } cases[] = {
      // RFC 3501's example: "~peter/mail/台北/日本語".
      {"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
       "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"Tom & Jerry", "Tom &- Jerry"},
      {"\xC3\x89"
       "conomie",
       "&AMk-conomie"},
      // Beyond the BMP: a surrogate pair (U+1F4E7).
      {"\xF0\x9F\x93\xA7", "&2D3c5w-"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeModifiedUtf7(c.utf8), c.wire) << c.wire;
    EXPECT_EQ(DecodeModifiedUtf7(c.wire), c.utf8) << c.wire;
  }
}

TEST(MailboxName, RefusesWhatIsNotWellFormed) {
  for (const char* utf8 : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF"}) {
    EXPECT_EQ(EncodeModifiedUtf7(utf8), std::nullopt) << utf8;
  }
  // No end, a bad character, printable ASCII shifted, a lone surrogate,
  // padding bits set, 8-bit bytes.
  for (const char* wire : {"&U,BTFw", "&U,B*Fw-", "&AGE-", "&2D0-", "&AMl-", "\xC3\x89"}) {
    EXPECT_EQ(DecodeModifiedUtf7(wire), std::nullopt) << wire;
  }
}

}  // namespace
}  // namespace corvel
