// Corvel's own OAuth2 authorization end to end: `corvel accounts authorize`
// against a small local authorization server (the browser played by a
// client that follows its redirect), the refresh token in a real
// gnome-keyring, then `corvel check` against Dovecot over TLS logging in with
// an access token from the refresh grant, renewing it when it has run out,
// and failing with what to do once the refresh token is revoked. Dovecot
// checks each token with the authorization server (token introspection).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/file_io.h"
#include "app/auth/account_secrets.h"
#include "console/commands.h"
#include "support/dovecot.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_pki.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kUser[] = "tim@example.com";

class Authorize : public ::testing::Test {
 protected:
  void SetUp() override {
    trust_ = pki_.TrustOnly();
    const CertFiles files = pki_.Issue("good");
    DovecotOptions options;
    options.sslCertFile = files.cert;
    options.sslKeyFile = files.key;
    options.authMechanisms = "plain xoauth2 oauthbearer";
    // Dovecot asks the authorization server whether a token is good.
    options.oauth2IntrospectionUrl = authorizer_.IntrospectionUrl();
    authorizer_.SetUser(kUser);
    std::string whyNot;
    // The user's maildir, so that the checks find a mailbox to look at.
    dovecot_ = StartDovecotWithUsers(options, {{kUser, "unused"}}, whyNot);
    RequireDovecot(dovecot_.get(), whyNot);
  }

  struct Run {
    int status = -1;
    std::string out, err;
  };

  Run Corvel(const std::vector<std::string>& arguments, const std::string& input = {}) {
    std::istringstream in(input);
    console::Environment environment;
    environment.in = &in;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    environment.openBrowser = authorizer_.Browser();
    environment.authorizationTimeoutMs = 30000;
    std::ostringstream out, err;
    Run run;
    run.status = console::Main(arguments, environment, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  OAuthTestServer authorizer_;
  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  std::unique_ptr<DovecotServer> dovecot_;
  WorkingFolder folder_;
};

TEST_F(Authorize, CheckLogsInWithRefreshedTokensUntilTheAuthorizationIsRevoked) {
  ASSERT_EQ(Corvel({"accounts", "add", "--name", "Work", "--server", "localhost", "--port",
                    dovecot_->TlsPortText(), "--user", kUser, "--security", "tls", "--password",
                    "unused"})
                .status,
            0);
  // Every access token is within a minute of its end: each check renews it,
  // and only the newest one is good.
  authorizer_.SetAccessToken("", 50);
  authorizer_.RequireClientSecret("client-secret-x");
  Run run = Corvel({"accounts", "authorize", "Work", "--provider", "custom", "--client-id",
                    OAuthTestServer::kClientId, "--client-secret-stdin", "--auth-url",
                    authorizer_.AuthorizeUrl(), "--token-url", authorizer_.TokenUrl(), "--scope",
                    "pop offline_access"},
                   "client-secret-x\n");
  ASSERT_EQ(run.status, 0) << run.err << authorizer_.Refusals();
  EXPECT_THAT(run.out, HasSubstr("Account Work authorized with custom"));
  EXPECT_THAT(Corvel({"accounts", "list"}).out, HasSubstr("login oauth-builtin"));
  const std::string files = ReadWholeFile("mail.accounts.qor") + ReadWholeFile("mail.oauth.qor");
  EXPECT_THAT(files, Not(HasSubstr("test-refresh-")));
  EXPECT_THAT(files, Not(HasSubstr("client-secret-x")));

  // The first check finds the login method and checks again: two logins.
  for (const int grants : {2, 3}) {
    run = Corvel({"check"});
    ASSERT_EQ(run.status, 0) << run.err << authorizer_.Refusals() << dovecot_->LogText();
    EXPECT_THAT(run.err, HasSubstr("Logged in!"));
    EXPECT_THAT(run.err, Not(HasSubstr("access-")));
    // Each refresh turns the refresh token over; the keyring keeps the new one.
    EXPECT_EQ(authorizer_.RefreshGrants(), grants);
  }
  EXPECT_EQ(authorizer_.Introspections(), 3);

  authorizer_.RevokeRefreshTokens();
  run = Corvel({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("corvel: Work: the OAuth2 authorization has expired or was "
                                 "revoked (the token endpoint refused (HTTP 400): invalid_grant: "
                                 "refresh token revoked): run corvel accounts authorize Work"))
      << run.err;

  // The authorization follows a new user name, and leaves with the account.
  AccountFile file;
  file.Open();
  AccountRecord record = file.ReadRecord(0);
  ASSERT_EQ(Corvel({"accounts", "set", "Work", "--user", "tom@example.com"}).status, 0);
  EXPECT_FALSE(SystemSecretStore()->Read(KeyringKeyOf(record, kSecretKindRefreshToken)).ok);
  record.SetPlainUserName("tom@example.com");
  EXPECT_TRUE(SystemSecretStore()->Read(KeyringKeyOf(record, kSecretKindRefreshToken)).ok);
  EXPECT_EQ(SystemSecretStore()->Read(KeyringKeyOf(record, kSecretKindClientSecret)).secret,
            "client-secret-x");
  ASSERT_EQ(Corvel({"accounts", "delete", "Work"}).status, 0);
  EXPECT_FALSE(SystemSecretStore()->Read(KeyringKeyOf(record, kSecretKindRefreshToken)).ok);
  EXPECT_FALSE(SystemSecretStore()->Read(KeyringKeyOf(record, kSecretKindClientSecret)).ok);
}

TEST_F(Authorize, RefusedAuthorizationChangesNothing) {
  ASSERT_EQ(Corvel({"accounts", "add", "--name", "Work", "--server", "localhost", "--user", kUser,
                    "--password", "pw"})
                .status,
            0);
  const std::string before = ReadWholeFile("mail.accounts.qor");
  authorizer_.DenyAuthorization("access_denied");
  const Run run = Corvel({"accounts", "authorize", "Work", "--provider", "custom", "--client-id",
                          OAuthTestServer::kClientId, "--auth-url", authorizer_.AuthorizeUrl(),
                          "--token-url", authorizer_.TokenUrl(), "--scope", "pop"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("corvel: Work: the provider refused the authorization: "
                                 "access_denied: The user said no"));
  EXPECT_EQ(ReadWholeFile("mail.accounts.qor"), before);
}

}  // namespace
}  // namespace corvel::test
