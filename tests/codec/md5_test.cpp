#include "codec/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace corvel {
namespace {

std::string Hex(const Md5Digest& digest) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 15]);
  }
  return hex;
}

struct Md5Vector {
  const char* message;
  const char* digest;
};

// The test suite of RFC 1321, appendix A.5, in upper case.
constexpr Md5Vector kRfc1321Suite[] = {
    {"", "D41D8CD98F00B204E9800998ECF8427E"},
    {"a", "0CC175B9C0F1B6A831C399E269772661"},
    {"abc", "900150983CD24FB0D6963F7D28E17F72"},
    {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
    {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "D174AB98D277D9F5A5611C2C9F419D9F"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
     "7890",
     "57EDF4A22BE3C955AC49DA2E2107B67A"},
};

TEST(Md5HexDigest, MatchesRfc1321SuiteInUpperCase) {
  for (const auto& vector : kRfc1321Suite) {
    SCOPED_TRACE(vector.message);
    const std::string hex = Md5HexDigest(vector.message);
    EXPECT_EQ(hex.size(), 32u);
    EXPECT_EQ(hex, vector.digest);
  }
}

TEST(Md5HexDigest, DigestsTheApopExampleOfRfc1939) {
  EXPECT_EQ(Md5HexDigest("<1896.697170952@dbc.mtview.ca.us>tanstaaf"),
            "C4C9334BAC560ECC979E58001B3E22FB");
}

TEST(Md5HexDigest, TakesEmbeddedZeroBytesAsData) {
  // A one-byte message holding 0 differs from the empty message.
  EXPECT_EQ(Md5HexDigest(std::string(1, '\0')), "93B885ADFE0DA089CDF634904FD59F71");
}

TEST(Md5HexDigest, DigestsDataLongerThanOneSlice) {
  // One million "a": well past the 16384-byte slices of the convenience path.
  EXPECT_EQ(Md5HexDigest(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
  // Lengths around the slice boundary agree with a byte-by-byte feed.
  for (const size_t length :
       {kMd5SliceSize - 1, kMd5SliceSize, kMd5SliceSize + 1, 2 * kMd5SliceSize + 7}) {
    std::string data(length, '\0');
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>(i * 31 + 7);
    Md5Context ctx;
    Md5Init(ctx);
    for (const char c : data) Md5Update(ctx, &c, 1);
    EXPECT_EQ(Md5HexDigest(data), Hex(Md5Final(ctx))) << length;
  }
}

TEST(Md5Update, GivesTheSameDigestWhateverTheSplit) {
  std::string data;
  for (int i = 0; i < 200; ++i) data.push_back(static_cast<char>((i * 7 + 3) & 0xFF));
  const std::string whole = Md5HexDigest(data);
  for (size_t split = 0; split <= data.size(); ++split) {
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, data.data(), split);
    Md5Update(ctx, data.data() + split, data.size() - split);
    EXPECT_EQ(Hex(Md5Final(ctx)), whole) << "split at " << split;
  }
  // Three pieces, around the 64-byte block boundaries.
  for (size_t first = 50; first <= 70; ++first) {
    for (size_t second = first; second <= 140; ++second) {
      Md5Context ctx;
      Md5Init(ctx);
      Md5Update(ctx, data.data(), first);
      Md5Update(ctx, data.data() + first, second - first);
      Md5Update(ctx, data.data() + second, data.size() - second);
      ASSERT_EQ(Hex(Md5Final(ctx)), whole) << first << "/" << second;
    }
  }
}

TEST(Md5Update, AcceptsNullDataOfLengthZero) {
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, nullptr, 0);
  EXPECT_EQ(Hex(Md5Final(ctx)), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(Md5Init, SetsInitialValuesAndClearsCountAndBuffer) {
  Md5Context ctx;
  ctx.count = {123, 456};
  ctx.buffer.fill(0xAA);
  Md5Init(ctx);
  EXPECT_EQ(ctx.state, (std::array<uint32_t, 4>{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}));
  EXPECT_EQ(ctx.count, (std::array<uint32_t, 2>{0, 0}));
  for (const uint8_t byte : ctx.buffer) EXPECT_EQ(byte, 0);
}

TEST(Md5Update, CountsMessageBitsInTwoHalves) {
  Md5Context ctx;
  Md5Init(ctx);
  const std::string data(100, 'x');
  Md5Update(ctx, data.data(), data.size());
  EXPECT_EQ(ctx.count[0], 800u);
  EXPECT_EQ(ctx.count[1], 0u);
  // A count about to pass 2^32 bits carries into the high half.
  ctx.count = {0xFFFFFFF8u, 0};
  Md5Update(ctx, data.data(), 2);
  EXPECT_EQ(ctx.count[0], 8u);
  EXPECT_EQ(ctx.count[1], 1u);
}

TEST(Md5Final, WipesTheContext) {
  Md5Context ctx;
  Md5Init(ctx);
  const std::string secret = "tanstaaf tanstaaf tanstaaf";
  Md5Update(ctx, secret.data(), secret.size());
  (void)Md5Final(ctx);
  for (const uint32_t word : ctx.state) EXPECT_EQ(word, 0u);
  for (const uint32_t word : ctx.count) EXPECT_EQ(word, 0u);
  for (const uint8_t byte : ctx.buffer) EXPECT_EQ(byte, 0);
}

}  // namespace
}  // namespace corvel
