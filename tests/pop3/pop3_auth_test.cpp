// The login digests: APOP (RFC 1939), HMAC-MD5 (RFC 2104, vectors of
// RFC 2202), the CRAM-MD5 answer of RFC 2195 and the CRAM-SHA1 answer.
#include "pop3/pop3_auth.h"

#include <gtest/gtest.h>

#include <string>

#include "codec/base64.h"
#include "codec/md5.h"

namespace corvel {
namespace {

// The timestamp and secret of RFC 1939's APOP example. The digest printed in
// the RFC (c4c9334b...) is not the MD5 of this text; the value here is, as
// md5sum and Python's hashlib both give it.
TEST(Pop3ApopDigest, DigestsTimestampFollowedByPassword) {
  EXPECT_EQ(ApopDigest("<1896.697170952@dbc.mtview.ca.us>", "tanstaafl"),
            "a6f0dd348916c9ee9539661f94c75203");
}

TEST(Pop3ApopDigest, TakesPasswordWithItsSpaces) {
  EXPECT_NE(ApopDigest("<1.2@x>", " pw "), ApopDigest("<1.2@x>", "pw"));
  EXPECT_EQ(ApopDigest("<1.2@x>", " pw "), "3bcca15d1bfd715c6e3d5e1ba9d87443");
}

TEST(Pop3HmacMd5, MatchesRfc2202Vectors) {
  struct Case {
    std::string key;
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
      {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
      {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
      {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {std::string(80, '\xaa'),
       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
       "6f630fad67cda0ee1fb1f562db3aa53e"},
  };
  for (const Case& c : cases) EXPECT_EQ(LowerHex(HmacMd5(c.key, c.message)), c.digest) << c.key;
}

// Computed with "openssl dgst -md5 -hmac" for 64 and 65 letters k.
TEST(Pop3HmacMd5, Uses64ByteKeyAsItIsAndHashesA65ByteKey) {
  EXPECT_EQ(LowerHex(HmacMd5(std::string(64, 'k'), "msg")), "7350d7e9ec9d1235174e9ded54edfa8c");
  EXPECT_EQ(LowerHex(HmacMd5(std::string(65, 'k'), "msg")), "646873b97bb31948a476260501827daa");
}

TEST(Pop3CramMd5, ReproducesRfc2195Answer) {
  const std::string challenge =
      DecodeBase64("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
  EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
  EXPECT_EQ(EncodeBase64(CramMd5Answer("tim", "tanstaaftanstaaf", challenge)),
            "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

// The expected digest was computed independently with
// "openssl dgst -sha1 -hmac tanstaaftanstaaf" over the challenge.
TEST(Pop3CramSha1, AnswersWithUserAndHmacSha1Digest) {
  EXPECT_EQ(CramSha1Answer("tim", "tanstaaftanstaaf", "<1896.697170952@postoffice.reston.mci.net>"),
            "tim 8cb10ed0a8b764ab0e05125dd6eaa295f19b5943");
}

TEST(Pop3LowerHex, WritesTwoLowerCaseDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(LowerHex(bytes), "000fa0ff");
}

}  // namespace
}  // namespace corvel
