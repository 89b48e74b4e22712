#include <gtest/gtest.h>

#include <string>

#include "codec/sha1.h"

namespace corvel {
namespace {

std::string Hex(const Sha1Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 15]);
  }
  return hex;
}

std::string Repeat(int byte, size_t count) { return std::string(count, static_cast<char>(byte)); }

struct HmacVector {
  const char* name;
  std::string key;
  std::string message;
  const char* digest;
};

std::string CountingKey() {
  std::string key;
  for (int i = 1; i <= 25; ++i) key.push_back(static_cast<char>(i));
  return key;
}

// RFC 2202, section 3.
const HmacVector kRfc2202[] = {
    {"1", Repeat(0x0b, 20), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
    {"2", "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {"3", Repeat(0xaa, 20), Repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
    {"4", CountingKey(), Repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
    {"5", Repeat(0x0c, 20), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
    {"6", Repeat(0xaa, 80), "Test Using Larger Than Block-Size Key - Hash Key First",
     "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {"7", Repeat(0xaa, 80),
     "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
     "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
};

TEST(HmacSha1, MatchesRfc2202TestCases) {
  for (const auto& vector : kRfc2202) {
    SCOPED_TRACE(vector.name);
    EXPECT_EQ(Hex(HmacSha1(vector.message, vector.key)), vector.digest);
    EXPECT_EQ(
        Hex(HmacSha1(reinterpret_cast<const uint8_t*>(vector.message.data()), vector.message.size(),
                     reinterpret_cast<const uint8_t*>(vector.key.data()), vector.key.size())),
        vector.digest);
  }
}

Sha1Digest Sha1Of(const std::string& first, const std::string& second = "") {
  Sha1Context context;
  EXPECT_EQ(Sha1Reset(&context), ShaResult::shaSuccess);
  EXPECT_EQ(Sha1Input(&context, reinterpret_cast<const uint8_t*>(first.data()),
                      static_cast<unsigned>(first.size())),
            ShaResult::shaSuccess);
  EXPECT_EQ(Sha1Input(&context, reinterpret_cast<const uint8_t*>(second.data()),
                      static_cast<unsigned>(second.size())),
            ShaResult::shaSuccess);
  Sha1Digest digest{};
  EXPECT_EQ(Sha1Result(&context, digest.data()), ShaResult::shaSuccess);
  return digest;
}

// RFC 2104 written out with the plain digest calls: the key is padded with
// zeros to 64 bytes and XORed with the inner and outer pad bytes.
std::string HmacByHand(const std::string& blockKey, const std::string& message) {
  std::string inner = blockKey;
  std::string outer = blockKey;
  inner.resize(64, '\0');
  outer.resize(64, '\0');
  for (size_t i = 0; i < 64; ++i) {
    inner[i] = static_cast<char>(inner[i] ^ 0x36);
    outer[i] = static_cast<char>(outer[i] ^ 0x5c);
  }
  const Sha1Digest innerDigest = Sha1Of(inner, message);
  return Hex(Sha1Of(outer, std::string(innerDigest.begin(), innerDigest.end())));
}

std::string PatternKey(size_t length) {
  std::string key;
  for (size_t i = 0; i < length; ++i) key.push_back(static_cast<char>(0x41 + (i * 7) % 53));
  return key;
}

TEST(HmacSha1, UsesAKeyOfExactly64BytesAsItIs) {
  const std::string key = PatternKey(64);
  const std::string message = "<1896.697170952@postoffice.reston.mci.net>";
  EXPECT_EQ(Hex(HmacSha1(message, key)), HmacByHand(key, message));
  const Sha1Digest keyDigest = Sha1Of(key);
  EXPECT_NE(Hex(HmacSha1(message, key)),
            HmacByHand(std::string(keyDigest.begin(), keyDigest.end()), message));
}

TEST(HmacSha1, ReplacesAKeyOf65BytesByItsDigest) {
  const std::string key = PatternKey(65);
  const std::string message = "<1896.697170952@postoffice.reston.mci.net>";
  const Sha1Digest keyDigest = Sha1Of(key);
  const std::string digestKey(keyDigest.begin(), keyDigest.end());
  EXPECT_EQ(Hex(HmacSha1(message, key)), HmacByHand(digestKey, message));
  EXPECT_EQ(Hex(HmacSha1(message, key)), Hex(HmacSha1(message, digestKey)));
  EXPECT_NE(Hex(HmacSha1(message, key)), HmacByHand(key.substr(0, 64), message));
}

TEST(HmacSha1, AcceptsEmptyKeyAndMessage) {
  // Known value of HMAC-SHA1 with an empty key over an empty message.
  EXPECT_EQ(Hex(HmacSha1(nullptr, 0, nullptr, 0)), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
  EXPECT_EQ(Hex(HmacSha1("", "")), HmacByHand("", ""));
}

}  // namespace
}  // namespace corvel
