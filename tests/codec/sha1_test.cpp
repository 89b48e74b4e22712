#include "codec/sha1.h"

#include <gtest/gtest.h>

#include <string>

namespace corvel {
namespace {

std::string Hex(const uint8_t* digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < kSha1HashSize; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 15]);
  }
  return hex;
}

const uint8_t* BytesOf(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

struct Sha1Vector {
  const char* name;
  std::string message;
  int repeat;
  const char* digest;
};

// The tests of RFC 3174 (FIPS 180-1 appendices A and B), plus the 80-digit
// message of the MD5 suite and the empty message.
const Sha1Vector kVectors[] = {
    {"abc", "abc", 1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"one million a", "a", 1000000, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"64 digits ten times", "0123456701234567012345670123456701234567012345670123456701234567", 10,
     "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
    {"80 digits", "1234567890", 8, "50abf5706a150990a08b2c5ea40fa0e585554732"},
    {"empty", "", 1, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
};

TEST(Sha1, MatchesRfc3174Vectors) {
  for (const auto& vector : kVectors) {
    SCOPED_TRACE(vector.name);
    Sha1Context context;
    ASSERT_EQ(Sha1Reset(&context), ShaResult::shaSuccess);
    for (int i = 0; i < vector.repeat; ++i) {
      ASSERT_EQ(Sha1Input(&context, BytesOf(vector.message),
                          static_cast<unsigned>(vector.message.size())),
                ShaResult::shaSuccess);
    }
    uint8_t digest[kSha1HashSize];
    ASSERT_EQ(Sha1Result(&context, digest), ShaResult::shaSuccess);
    EXPECT_EQ(Hex(digest), vector.digest);
  }
}

TEST(Sha1, GivesTheSameDigestWhateverTheSplit) {
  std::string data;
  for (int i = 0; i < 150; ++i) data.push_back(static_cast<char>(i * 13 + 1));
  uint8_t whole[kSha1HashSize];
  Sha1Context context;
  (void)Sha1Reset(&context);
  (void)Sha1Input(&context, BytesOf(data), static_cast<unsigned>(data.size()));
  (void)Sha1Result(&context, whole);
  for (size_t split = 0; split <= data.size(); ++split) {
    (void)Sha1Reset(&context);
    (void)Sha1Input(&context, BytesOf(data), static_cast<unsigned>(split));
    (void)Sha1Input(&context, BytesOf(data) + split, static_cast<unsigned>(data.size() - split));
    uint8_t digest[kSha1HashSize];
    ASSERT_EQ(Sha1Result(&context, digest), ShaResult::shaSuccess);
    EXPECT_EQ(Hex(digest), Hex(whole)) << "split at " << split;
  }
}

TEST(Sha1Reset, ReturnsNullWithoutContext) { EXPECT_EQ(Sha1Reset(nullptr), ShaResult::shaNull); }

TEST(Sha1Input, ReturnsSuccessAtOnceForLengthZeroEvenWithoutData) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  EXPECT_EQ(Sha1Input(&context, nullptr, 0), ShaResult::shaSuccess);
  EXPECT_EQ(Sha1Input(nullptr, nullptr, 0), ShaResult::shaSuccess);
  uint8_t digest[kSha1HashSize];
  ASSERT_EQ(Sha1Result(&context, digest), ShaResult::shaSuccess);
  EXPECT_EQ(Hex(digest), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1Input, ReturnsNullWithoutDataOrContextForNonZeroLength) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  EXPECT_EQ(Sha1Input(&context, nullptr, 5), ShaResult::shaNull);
  const uint8_t byte = 'a';
  EXPECT_EQ(Sha1Input(nullptr, &byte, 1), ShaResult::shaNull);
  // Neither refusal touched the message.
  EXPECT_EQ(context.lengthLow, 0u);
  EXPECT_EQ(context.corrupted, ShaResult::shaSuccess);
}

TEST(Sha1Result, ReturnsNullWithoutContextOrDigest) {
  uint8_t digest[kSha1HashSize];
  EXPECT_EQ(Sha1Result(nullptr, digest), ShaResult::shaNull);
  Sha1Context context;
  (void)Sha1Reset(&context);
  EXPECT_EQ(Sha1Result(&context, nullptr), ShaResult::shaNull);
  EXPECT_FALSE(context.computed);
}

TEST(Sha1Input, AfterResultReturnsStateErrorForGood) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  const std::string abc = "abc";
  (void)Sha1Input(&context, BytesOf(abc), 3);
  uint8_t digest[kSha1HashSize];
  ASSERT_EQ(Sha1Result(&context, digest), ShaResult::shaSuccess);
  EXPECT_EQ(Sha1Input(&context, BytesOf(abc), 3), ShaResult::shaStateError);
  EXPECT_EQ(context.corrupted, ShaResult::shaStateError);
  EXPECT_EQ(Sha1Input(&context, BytesOf(abc), 3), ShaResult::shaStateError);
  uint8_t again[kSha1HashSize] = {};
  EXPECT_EQ(Sha1Result(&context, again), ShaResult::shaStateError);
  EXPECT_EQ(Hex(again), std::string(40, '0')) << "a corrupted context writes no digest";
  // A new message starts clean.
  ASSERT_EQ(Sha1Reset(&context), ShaResult::shaSuccess);
  EXPECT_EQ(Sha1Input(&context, BytesOf(abc), 3), ShaResult::shaSuccess);
}

TEST(Sha1Result, RepeatedCallGivesTheSameDigest) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  const std::string abc = "abc";
  (void)Sha1Input(&context, BytesOf(abc), 3);
  uint8_t first[kSha1HashSize];
  uint8_t second[kSha1HashSize];
  ASSERT_EQ(Sha1Result(&context, first), ShaResult::shaSuccess);
  ASSERT_EQ(Sha1Result(&context, second), ShaResult::shaSuccess);
  EXPECT_EQ(Hex(first), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Hex(second), Hex(first));
}

TEST(Sha1Result, ForgetsTheMessageAndMarksTheContextComputed) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  const std::string secret = "a password";
  (void)Sha1Input(&context, BytesOf(secret), static_cast<unsigned>(secret.size()));
  uint8_t digest[kSha1HashSize];
  ASSERT_EQ(Sha1Result(&context, digest), ShaResult::shaSuccess);
  EXPECT_TRUE(context.computed);
  EXPECT_EQ(context.lengthLow, 0u);
  EXPECT_EQ(context.lengthHigh, 0u);
  for (const uint8_t byte : context.messageBlock) EXPECT_EQ(byte, 0);
}

TEST(Sha1Input, MessageLongerThan2To64BitsCorruptsWithNull) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  // Stand just below the largest bit count instead of hashing 2^61 bytes.
  context.lengthLow = 0xFFFFFFF8u;
  context.lengthHigh = 0xFFFFFFFFu;
  const uint8_t byte = 'x';
  EXPECT_EQ(Sha1Input(&context, &byte, 1), ShaResult::shaNull);
  EXPECT_EQ(context.corrupted, ShaResult::shaNull);
  EXPECT_EQ(Sha1Input(&context, &byte, 1), ShaResult::shaNull);
  uint8_t digest[kSha1HashSize];
  EXPECT_EQ(Sha1Result(&context, digest), ShaResult::shaNull);
  EXPECT_FALSE(context.computed);
}

TEST(Sha1Input, CarriesTheBitCountIntoTheHighHalf) {
  Sha1Context context;
  (void)Sha1Reset(&context);
  context.lengthLow = 0xFFFFFFF8u;
  const uint8_t bytes[2] = {1, 2};
  EXPECT_EQ(Sha1Input(&context, bytes, 2), ShaResult::shaSuccess);
  EXPECT_EQ(context.lengthLow, 8u);
  EXPECT_EQ(context.lengthHigh, 1u);
}

}  // namespace
}  // namespace corvel
