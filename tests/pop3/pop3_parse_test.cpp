// Numbers and unique ids read from reply lines.
#include "pop3/pop3_parse.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

struct NumbersCase {
  const char* line;
  bool result;
  std::int32_t first;
  std::int32_t second;
};

TEST(Pop3ParseNumbers, ReadsTheTableOfReplies) {
  const NumbersCase cases[] = {
      {"+OK 2 320", true, 2, 320},
      {"+OK", false, 0, 0},
      {"+OK 2 messages (320 octets)", true, 2, 0},
      {"+OK 0 0", true, 0, 0},
      {"+OK 5", false, 0, 0},
      {"+OK 5 \r", false, 0, 0},
      {"1 1200", true, 1, 1200},
      {"", false, 0, 0},
      {"+OK \t7\t\t99 trailing", true, 7, 99},
      {"+OK x12y 34", true, 12, 0},
  };
  for (const NumbersCase& c : cases) {
    std::int32_t first = -1;
    std::int32_t second = -1;
    EXPECT_EQ(ParseNumbers(c.line, first, second), c.result) << c.line;
    EXPECT_EQ(first, c.first) << c.line;
    EXPECT_EQ(second, c.second) << c.line;
  }
}

TEST(Pop3ParseNumbers, WrapsOversizedNumbersIn32Bits) {
  std::int32_t first = 0;
  std::int32_t second = 0;
  // 4294967297 = 2^32 + 1 and 2147483648 = 2^31 wrap without an overflow trap.
  EXPECT_TRUE(ParseNumbers("+OK 4294967297 2147483648", first, second));
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, static_cast<std::int32_t>(0x80000000u));
  EXPECT_TRUE(ParseNumbers("+OK 99999999999999999999999 1", first, second));
  EXPECT_EQ(second, 1);
}

TEST(Pop3ParseNumberAndUidl, ReadsNumberAndId) {
  std::int32_t number = -1;
  std::string uidl = "old";
  EXPECT_TRUE(ParseNumberAndUidl("+OK 3 XQ-91a", number, uidl));
  EXPECT_EQ(number, 3);
  EXPECT_EQ(uidl, "XQ-91a");
}

TEST(Pop3ParseNumberAndUidl, KeepsEveryByteOfTheIdUpToTheLineEnd) {
  std::int32_t number = 0;
  std::string uidl;
  EXPECT_TRUE(ParseNumberAndUidl("2 d:e f ", number, uidl));
  EXPECT_EQ(number, 2);
  EXPECT_EQ(uidl, "d:e f ");
  EXPECT_TRUE(ParseNumberAndUidl("1 abc\tdef\x7F\xE9", number, uidl));
  EXPECT_EQ(uidl, "abc\tdef\x7F\xE9");
  EXPECT_TRUE(ParseNumberAndUidl("4\t abc", number, uidl));
  EXPECT_EQ(number, 4);
  EXPECT_EQ(uidl, "abc");
}

TEST(Pop3ParseNumberAndUidl, FailsWithoutDigit) {
  std::int32_t number = 9;
  std::string uidl = "x";
  EXPECT_FALSE(ParseNumberAndUidl("+OK", number, uidl));
  EXPECT_EQ(number, 0);
  EXPECT_EQ(uidl, "");
  EXPECT_FALSE(ParseNumberAndUidl("", number, uidl));
}

TEST(Pop3ParseFirstNumber, ReadsTheOnlyNumber) {
  EXPECT_EQ(ParseFirstNumber("+OK 5"), 5);
  EXPECT_EQ(ParseFirstNumber("+OK"), 0);
}

TEST(Pop3TrimControl, RemovesCodesUpToSpaceAtBothEnds) {
  EXPECT_EQ(TrimControl(" \t\r\n tim \x01"), "tim");
  EXPECT_EQ(TrimControl("a b"), "a b");
  EXPECT_EQ(TrimControl("   "), "");
  // Bytes above 127 are not control characters.
  EXPECT_EQ(TrimControl("\xE9t\xE9"), "\xE9t\xE9");
}

}  // namespace
}  // namespace corvel
