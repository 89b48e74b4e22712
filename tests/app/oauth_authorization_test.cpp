// Corvel's own OAuth2 authorization against a small local authorization
// server: the browser's round with PKCE and the state, and the access tokens
// of the check cycle (kept until a minute before they run out, renewed with
// the refresh token, the turned-over refresh token kept, a revoked one
// failing with what to do). Also: fetching a token leaves the loop running.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/auth/account_secrets.h"
#include "app/auth/oauth_flow.h"
#include "memory_keyring.h"
#include "net/posix/poll_event_loop.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_server.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

using ::testing::HasSubstr;

class OAuthAuthorization : public ::testing::Test {
 protected:
  OAuthAuthorization() {
    settings_.provider = "custom";
    settings_.clientId = test::OAuthTestServer::kClientId;
    settings_.authorizeUrl = server_.AuthorizeUrl();
    settings_.tokenUrl = server_.TokenUrl();
    settings_.scope = "pop3 offline_access";
    record_.SetPlainAccountName("Work");
    record_.SetPlainServer("pop.example.com");
    record_.Port = 995;
    record_.SetPlainUserName("tim@example.com");
    record_.SetPlainUidlFileName("work.uidl");
    record_.SetLogin(LoginKind::loginOAuthBuiltIn);
  }

  TokenGrant RunAuthorization() {
    AuthorizeOptions options;
    options.timeoutMs = 30000;
    options.openBrowser = server_.Browser();
    return Authorize(settings_, "", options);
  }

  // Authorizes and files the settings and the refresh token as the
  // authorize command does; the account's secrets source.
  std::unique_ptr<AccountSecrets> AuthorizedSecrets() {
    const TokenGrant grant = RunAuthorization();
    EXPECT_TRUE(grant.ok) << grant.reason << server_.Refusals();
    OAuthSettingsFile file(OAuthSettingsFileFor("mail.accounts.qor"));
    file.Set("work.uidl", settings_);
    file.Save();
    keyring_->secrets[test::MemoryKeyring::Name(KeyringKeyOf(record_, kSecretKindRefreshToken))] =
        grant.refreshToken;
    auto secrets = std::make_unique<AccountSecrets>("mail.accounts.qor", &loop_);
    secrets->UseKeyring(keyring_);
    return secrets;
  }

  test::WorkingFolder folder_;
  test::OAuthTestServer server_;
  PollEventLoop loop_;
  OAuthSettings settings_;
  AccountRecord record_;
  std::shared_ptr<test::MemoryKeyring> keyring_ = std::make_shared<test::MemoryKeyring>();
};

TEST_F(OAuthAuthorization, BrowserRoundGivesARefreshTokenForTheVerifiedCode) {
  const TokenGrant grant = RunAuthorization();
  ASSERT_TRUE(grant.ok) << grant.reason << server_.Refusals();
  EXPECT_EQ(grant.refreshToken, "test-refresh-1");
  EXPECT_EQ(server_.CodeGrants(), 1);

  server_.DenyAuthorization("access_denied");
  const TokenGrant denied = RunAuthorization();
  EXPECT_FALSE(denied.ok);
  EXPECT_EQ(denied.reason,
            "the provider refused the authorization: access_denied: The user said no");
}

// Browsers open connections ahead that may never carry a request.
TEST_F(OAuthAuthorization, IdleConnectionBeforeTheRedirectIsPassedOver) {
  const int idle = ::socket(AF_INET, SOCK_STREAM, 0);
  AuthorizeOptions options;
  options.timeoutMs = 20000;
  options.openBrowser = [this, idle, browser = server_.Browser()](const std::string& url,
                                                                  std::string& why) {
    const std::string port = *QueryValue(url.substr(url.find('?') + 1), "redirect_uri");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port =
        htons(static_cast<std::uint16_t>(std::stoi(port.substr(port.rfind(':') + 1))));
    EXPECT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return browser(url, why);
  };
  const TokenGrant grant = Authorize(settings_, "", options);
  ::close(idle);
  EXPECT_TRUE(grant.ok) << grant.reason;
}

// Another local program or a web page that found the port may come first:
// it is refused, and the browser that comes next is still taken. The browser
// hears of success only once the code is exchanged.
TEST_F(OAuthAuthorization, ARequestWithAnotherStateIsRefusedAndTheListenerWaitsOn) {
  AuthorizeOptions options;
  options.timeoutMs = 30000;
  std::string refused;
  std::thread stranger;
  options.openBrowser = [&, browser = server_.Browser()](const std::string& url, std::string&) {
    const std::string redirect = *QueryValue(url.substr(url.find('?') + 1), "redirect_uri");
    stranger = std::thread([&refused, redirect, url, browser, why = std::string()]() mutable {
      refused = test::OAuthTestServer::Fetch(redirect + "/?code=stolen&state=guessed");
      browser(url, why);
    });
    return true;
  };
  EXPECT_TRUE(Authorize(settings_, "", options).ok);
  stranger.join();
  EXPECT_THAT(refused, HasSubstr("not the authorization Corvel is waiting for"));
  EXPECT_THAT(server_.BrowserPage(), HasSubstr("Corvel has the authorization."));

  server_.RequireClientSecret("needed");
  EXPECT_FALSE(RunAuthorization().ok);
  EXPECT_THAT(server_.BrowserPage(), HasSubstr("Corvel did not get the authorization: the token "
                                               "endpoint refused (HTTP 400): invalid_client"));
}

TEST(OAuthTokenEndpoint, TrustsThePrivateAuthorityTheMailServersTlsTrusts) {
  test::TestPki pki;
  test::CertSpec spec;
  spec.ipAddresses = {"127.0.0.1"};
  const std::string body = R"({"access_token":"tls-token","expires_in":3600})";
  test::TlsTestServer server({pki.Issue("token", spec)}, [&body](test::TlsPeer& peer) {
    if (!peer.Handshake()) return;
    std::size_t length = 0;
    for (std::string line = peer.ReadLine(); line != "\r\n" && !line.empty();
         line = peer.ReadLine()) {
      if (line.starts_with("Content-Length: ")) length = std::stoul(line.substr(16));
    }
    (void)peer.Read(length);
    peer.Write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  });
  const auto trust = pki.TrustOnly();  // SSL_CERT_FILE: the private authority
  OAuthSettings settings;
  settings.clientId = "id";
  settings.tokenUrl = "https://127.0.0.1:" + server.PortText() + "/token";
  const TokenGrant grant = RefreshAccessToken(settings, "", "refresh", 20000);
  EXPECT_TRUE(grant.ok) << grant.reason;
  EXPECT_EQ(grant.accessToken, "tls-token");
}

TEST_F(OAuthAuthorization, ATokenAddressEditedByHandIsRefusedAtCheckTime) {
  auto secrets = AuthorizedSecrets();
  settings_.tokenUrl.insert(std::string_view("http://").size(), "127.0.0.1:1@");
  OAuthSettingsFile file(OAuthSettingsFileFor("mail.accounts.qor"));
  file.Load();
  file.Set("work.uidl", settings_);
  file.Save();
  const LoginSecret secret = secrets->LoginSecretOf(record_);
  EXPECT_FALSE(secret.ok);
  EXPECT_THAT(secret.reason, HasSubstr("must not hold a user name or password"));
  EXPECT_EQ(server_.RefreshGrants(), 0);
}

// A life no clock can add up is clamped, never undefined behaviour.
TEST_F(OAuthAuthorization, AHugeTokenLifeKeepsTheTokenForADayAtMost) {
  for (const char* life : {"9223372036854775807", "1e300"}) {
    server_.SetAccessToken(life, life);
    auto secrets = AuthorizedSecrets();
    EXPECT_EQ(secrets->LoginSecretOf(record_).secret, life);
    EXPECT_EQ(secrets->LoginSecretOf(record_).secret, life);  // kept
  }
}

TEST_F(OAuthAuthorization, AccessTokenIsKeptUntilAMinuteBeforeItsEnd) {
  server_.SetAccessToken("long-lived", 3600);
  auto secrets = AuthorizedSecrets();
  EXPECT_EQ(secrets->LoginSecretOf(record_).secret, "long-lived");
  EXPECT_EQ(secrets->LoginSecretOf(record_).secret, "long-lived");
  EXPECT_EQ(server_.RefreshGrants(), 1);
  // The refresh token was turned over: the new one is the one filed.
  EXPECT_EQ(
      keyring_->secrets[test::MemoryKeyring::Name(KeyringKeyOf(record_, kSecretKindRefreshToken))],
      "test-refresh-2");

  // A token the server refused is not offered again.
  secrets->LoginRefused(record_);
  EXPECT_TRUE(secrets->LoginSecretOf(record_).ok);
  EXPECT_EQ(server_.RefreshGrants(), 2);

  server_.SetAccessToken("short-lived", 59);
  EXPECT_EQ(AuthorizedSecrets()->LoginSecretOf(record_).secret, "short-lived");
  auto shortLived = AuthorizedSecrets();
  const int before = server_.RefreshGrants();
  EXPECT_TRUE(shortLived->LoginSecretOf(record_).ok);
  EXPECT_TRUE(shortLived->LoginSecretOf(record_).ok);
  EXPECT_EQ(server_.RefreshGrants(), before + 2);
}

TEST_F(OAuthAuthorization, RevokedRefreshTokenSaysToAuthorizeAgain) {
  auto secrets = AuthorizedSecrets();
  server_.RevokeRefreshTokens();
  const LoginSecret secret = secrets->LoginSecretOf(record_);
  EXPECT_FALSE(secret.ok);
  EXPECT_EQ(secret.reason,
            "the OAuth2 authorization has expired or was revoked (the token endpoint refused "
            "(HTTP 400): invalid_grant: refresh token revoked): run corvel accounts authorize "
            "Work");
}

// Two accounts of the same user on the same server (two names, or two
// folders) keep a secret each; what an older version filed by server, port
// and user only is still found.
TEST_F(OAuthAuthorization, EachAccountHasItsOwnKeyringEntryAndAnOlderOneIsStillFound) {
  record_.SetLogin(LoginKind::loginPassword);
  record_.SetSecretIn(SecretPlace::secretKeyring);
  AccountRecord other = record_;
  other.SetPlainUidlFileName("other.uidl");
  SecretKey older = KeyringKeyOf(record_);
  older.account.clear();
  keyring_->secrets[test::MemoryKeyring::Name(older)] = "filed-long-ago";
  AccountSecrets secrets("mail.accounts.qor");
  secrets.UseKeyring(keyring_);

  EXPECT_EQ(secrets.LoginSecretOf(record_).secret, "filed-long-ago");
  ASSERT_TRUE(keyring_->Write(KeyringKeyOf(other), "", "other's").ok);
  EXPECT_EQ(secrets.LoginSecretOf(record_).secret, "filed-long-ago");
  EXPECT_EQ(secrets.LoginSecretOf(other).secret, "other's");
}

TEST_F(OAuthAuthorization, LoopKeepsRunningWhileATokenCommandRuns) {
  // The command waits for a file that only a timer of the loop creates.
  OAuthSettingsFile file(OAuthSettingsFileFor("mail.accounts.qor"));
  OAuthSettings command;
  command.command = "sh -c 'while [ ! -e go ]; do sleep 0.01; done; echo tok'";
  file.Set("work.uidl", command);
  file.Save();
  record_.SetLogin(LoginKind::loginOAuthCommand);
  const EventLoop::TimerId timer = loop_.StartTimer(10, [] { std::ofstream("go") << "go"; });
  AccountSecrets secrets("mail.accounts.qor", &loop_, 20000);
  const LoginSecret secret = secrets.LoginSecretOf(record_);
  loop_.StopTimer(timer);
  EXPECT_TRUE(secret.ok) << secret.reason;
  EXPECT_EQ(secret.secret, "tok");
}

}  // namespace
}  // namespace corvel
