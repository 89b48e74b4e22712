#include "codec/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace corvel {
namespace {

struct Base64Vector {
  const char* data;
  const char* text;
};

// RFC 4648, section 10.
constexpr Base64Vector kRfc4648Vectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

TEST(EncodeBase64, EncodesRfc4648Vectors) {
  for (const auto& vector : kRfc4648Vectors) {
    EXPECT_EQ(EncodeBase64(vector.data), vector.text) << '"' << vector.data << '"';
  }
}

TEST(DecodeBase64, DecodesRfc4648Vectors) {
  for (const auto& vector : kRfc4648Vectors) {
    EXPECT_EQ(DecodeBase64(vector.text), vector.data) << '"' << vector.text << '"';
  }
}

TEST(EncodeBase64, WritesLongInputOnOneLine) {
  std::string data;
  for (int i = 0; i < 100; ++i) data.push_back(static_cast<char>(i * 37));
  const std::string text = EncodeBase64(data);
  EXPECT_EQ(text.size(), 136u);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(text,
            "ACVKb5S53gMoTXKXvOEGK1B1mr/kCS5TeJ3C5wwxVnugxeoPNFl+o8jtEjdcgabL8BU6X4SpzvMYPWKHrNH2"
            "G0Bliq/U+R5DaI2y1/whRmuQtdr/JEluk7jdAidMcZa74AUqTw==");
  EXPECT_EQ(DecodeBase64(text), data);
}

TEST(EncodeBase64, UsesTheWholeAlphabetAndEveryByteValue) {
  std::string data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  EXPECT_EQ(EncodeBase64(std::string_view(data).substr(0, 3)), "AAEC");
  EXPECT_EQ(EncodeBase64(Bytes({0xFB, 0xEF, 0xFF})), "++//");
  EXPECT_EQ(EncodeBase64(Bytes({0x00, 0x10, 0x83, 0x10, 0x51, 0x87})), "ABCDEFGH");
  EXPECT_EQ(DecodeBase64(EncodeBase64(data)), data);
}

TEST(Base64, RoundTripsRandomBytesOfEveryLengthUpTo300) {
  std::mt19937 random(20240607);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t length = 0; length <= 300; ++length) {
    std::string data;
    for (size_t i = 0; i < length; ++i) data.push_back(static_cast<char>(byte(random)));
    const std::string text = EncodeBase64(data);
    ASSERT_EQ(text.size(), (length + 2) / 3 * 4) << length;
    ASSERT_EQ(DecodeBase64(text), data) << length;
  }
}

TEST(DecodeBase64, KeepsZeroBytes) {
  EXPECT_EQ(DecodeBase64("AAAA"), std::string(3, '\0'));
  EXPECT_EQ(DecodeBase64("AGEA"), Bytes({0x00, 0x61, 0x00}));
}

TEST(DecodeBase64, LineBreakInsideShiftsTheLaterGroups) {
  // "Zm9v" -> "foo"; then CR, LF, "Y", "m" form a group in which CR and LF
  // bring the bits of 63: (63<<2 | 48>>4) = 0xFF, (15<<4 | 24>>2) = 0xF6,
  // (0<<6 | 38) = 0x26; the last "Fy" gives (5<<2 | 48>>4) = 0x17.
  EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy"), "foo" + Bytes({0xFF, 0xF6, 0x26, 0x17}));
}

TEST(DecodeBase64, CountsBlanksAndOtherCharactersAsValue63) {
  EXPECT_EQ(DecodeBase64(" ?*\x01"), DecodeBase64("////"));
  EXPECT_EQ(DecodeBase64("////"), Bytes({0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(DecodeBase64("A BC"), DecodeBase64("A/BC"));
}

TEST(DecodeBase64, CountsBytesAbove127AsValue63) {
  EXPECT_EQ(DecodeBase64("\x80\xFF\xC3\xA9"), Bytes({0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(DecodeBase64("Zm\xE9v"), DecodeBase64("Zm/v"));
}

TEST(DecodeBase64, EqualsSignInFirstPlaceBringsZeroBits) {
  EXPECT_EQ(DecodeBase64("=///"), Bytes({0x03, 0xFF, 0xFF}));
}

TEST(DecodeBase64, EqualsSignInSecondPlaceBringsZeroBits) {
  EXPECT_EQ(DecodeBase64("/=//"), Bytes({0xFC, 0x0F, 0xFF}));
}

TEST(DecodeBase64, EqualsSignInThirdPlaceEndsTheGroupAfterOneByte) {
  EXPECT_EQ(DecodeBase64("//=/"), Bytes({0xFF}));
  EXPECT_EQ(DecodeBase64("Zg=A"), "f");
}

TEST(DecodeBase64, EqualsSignInFourthPlaceEndsTheGroupAfterTwoBytes) {
  EXPECT_EQ(DecodeBase64("///="), Bytes({0xFF, 0xFF}));
}

TEST(DecodeBase64, DecodesGroupsAfterPadding) {
  EXPECT_EQ(DecodeBase64("Zg==Zm9v"), "ffoo");
  EXPECT_EQ(DecodeBase64("Zm8=Zm8="), "fofo");
  EXPECT_EQ(DecodeBase64("===="), Bytes({0x00}));
}

TEST(DecodeBase64, TakesMissingPlacesOfAShortLastGroupAsPadding) {
  EXPECT_EQ(DecodeBase64("Zm9vYmE"), "fooba");
  EXPECT_EQ(DecodeBase64("Zm9vYg"), "foob");
  // A lone last character still yields the byte its six bits start.
  EXPECT_EQ(DecodeBase64("Zm9vY"), "foo`");
  EXPECT_EQ(DecodeBase64("/"), Bytes({0xFC}));
}

TEST(DecodeBase64, DecodesAnyRandomTextWithoutFailing) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 64);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int size = length(random);
    for (int i = 0; i < size; ++i) text.push_back(static_cast<char>(byte(random)));
    const std::string data = DecodeBase64(text);
    // Each started group yields one to three bytes.
    const size_t groups = (text.size() + 3) / 4;
    ASSERT_GE(data.size(), groups);
    ASSERT_LE(data.size(), 3 * groups);
  }
}

}  // namespace
}  // namespace corvel
