// The platform-free rules of Corvel's own OAuth2 authorization, the same on
// every build: the addresses the secrets may go to (each read as the
// build's HTTP client reads it), the redirect's state, the token's life.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "app/auth/oauth_flow.h"

namespace corvel {
namespace {

using ::testing::HasSubstr;

TEST(OAuthTokenAnswer, ALifeThatIsHugeNegativeOrFractionalIsClamped) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"3600", 3600},
      {"59.9", 59},
      {"-5", 0},
      {"-1e300", 0},
      {"1e300", 86400},
      {"86401", 86400},
      {"9223372036854775807", 86400},
      {"184467440737095516160", 86400},
      {"", 3600},
      {"soon", 3600},
  };
  for (const auto& [text, seconds] : cases) {
    HttpFormAnswer answer;
    answer.reached = true;
    answer.status = 200;
    answer.json = true;
    answer.members = {{"access_token", "t"}, {"expires_in", text}};
    EXPECT_EQ(ReadTokenAnswer(answer).expiresInSeconds, seconds) << text;
  }
}

TEST(OAuthRedirect, OnlyTheAuthorizationsOwnStateIsTaken) {
  EXPECT_EQ(ReadRedirect("/?code=abc%2Fd&state=s1", "s1").code, "abc/d");
  const AuthorizationCode other = ReadRedirect("/?code=abc&state=s2", "s1");
  EXPECT_FALSE(other.ok);
  EXPECT_THAT(other.reason, HasSubstr("another authorization's state"));
  EXPECT_FALSE(ReadRedirect("/?code=abc", "s1").ok);
}

TEST(OAuthProviders, PresetsAndEndpointsThatMayCarrySecrets) {
  OAuthSettings google;
  google.provider = "google";
  google.clientId = "id";
  EXPECT_EQ(CompleteProviderSettings(google), std::nullopt);
  EXPECT_EQ(google.tokenUrl, "https://oauth2.googleapis.com/token");
  EXPECT_THAT(AuthorizationUrl(google, "http://127.0.0.1:1/", "st", "ch"),
              HasSubstr("&scope=https%3A%2F%2Fmail.google.com%2F&state=st&code_challenge=ch&"
                        "code_challenge_method=S256&access_type=offline&prompt=consent"));
  OAuthSettings plain = google;
  plain.provider = "custom";
  plain.authorizeUrl = "https://a.example/auth";
  plain.tokenUrl = "http://token.example/";
  EXPECT_THAT(CompleteProviderSettings(plain).value_or(""), HasSubstr("must be an https://"));
  plain.tokenUrl = "http://localhost.evil.example/";
  EXPECT_THAT(CompleteProviderSettings(plain).value_or(""), HasSubstr("must be an https://"));
  // The address is read as the HTTP client reads it: this one goes to
  // 127.0.0.2 with a user name and password.
  plain.tokenUrl = "http://127.0.0.1:1@127.0.0.2:8080/t";
  EXPECT_THAT(CompleteProviderSettings(plain).value_or(""),
              HasSubstr("must not hold a user name or password"));
  plain.tokenUrl = "ftp://token.example/t";
  EXPECT_EQ(CompleteProviderSettings(plain).value_or(""),
            "the token address (--token-url) must be an https:// address, not "
            "'ftp://token.example/t'");
  for (const char* good : {"HTTPS://token.example/t", "http://[::1]:8080/t", "http://localhost/"}) {
    plain.tokenUrl = good;
    EXPECT_EQ(CompleteProviderSettings(plain), std::nullopt) << good;
  }
}

}  // namespace
}  // namespace corvel
