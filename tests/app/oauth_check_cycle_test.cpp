// The check cycle of OAuth2 accounts as a user sees it: the token from the
// account's token command, the discovery of OAUTHBEARER or XOAUTH2 (never a
// password method), the server's reason for a refused token, and the checks
// that end before connecting (no TLS, a failing token command).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "accounts/oauth_settings.h"
#include "app/auth/oauth_flow.h"
#include "checker/mail_checker.h"
#include "main_window_fixture.h"
#include "memory_keyring.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

constexpr char kGreeting[] = "+OK POP3 ready\r\n";
constexpr char kTokenLine[] = "dXNlcj11c2VyAWF1dGg9QmVhcmVyIHRvawEB";  // user, token "tok"
constexpr char kErrorChallenge[] =
    "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=";

class OAuthCheckCycleTest : public MainWindowTest {
 protected:
  OAuthCheckCycleTest() : trust_(pki_.TrustOnly()), good_(pki_.Issue("good")) {}

  // An OAuth2 account on "localhost" whose token command is `command`.
  void AddOAuthAccount(const std::string& port, std::uint8_t mode, const std::string& method,
                       const std::string& command, const std::string& name = "Home") {
    TestAccount account;
    account.name = name;
    account.server = "localhost";
    account.port = port;
    account.password = std::string(kOAuthMarker);
    account.authMethod = method;
    account.leaveMail = false;
    AddAccount(account);
    AccountFile file;
    file.Open();
    const std::size_t last = file.RecordCount() - 1;
    AccountRecord record = file.ReadRecord(last);
    record.SetSecurityMode(mode);
    record.SetLogin(LoginKind::loginOAuthCommand);
    file.WriteRecord(last, record);
    OAuthSettingsFile settings(OAuthSettingsFileFor(kAccountsFileName));
    settings.Load();
    OAuthSettings entry;
    entry.command = command;
    settings.Set(record.PlainUidlFileName(), entry);
    settings.Save();
  }

  // Runs one check of a TLS server that plays `exchange` after its greeting.
  std::string CheckAgainst(const std::vector<std::pair<std::string, std::string>>& exchange,
                           const std::string& method, const std::string& command) {
    std::string received;
    TlsTestServer server({good_}, [&](TlsPeer& peer) {
      if (!peer.Handshake()) return;
      peer.Write(kGreeting);
      received = Pop3Exchange(peer, exchange);
      peer.SendCloseNotify();
      peer.ReadToEnd();
    });
    AddOAuthAccount(server.PortText(), kSecurityTls, method, command);
    Start();
    Tick();
    EXPECT_TRUE(WaitFor(
        loop_, [&] { return server.Finished(); }, 30000));
    return received;
  }

  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  CertFiles good_;
};

// A password method stored before the account moved to OAuth2 is not used:
// the discovery runs, and OAUTHBEARER refused, XOAUTH2 is stored.
TEST_F(OAuthCheckCycleTest, DiscoveryTriesOAuthBearerThenXOAuth2AndNoPasswordMethod) {
  const std::string received = CheckAgainst({{"AUTH OAUTHBEARER", "-ERR not here"},
                                             {"AUTH XOAUTH2", "+ "},
                                             {kTokenLine, "+OK welcome"},
                                             {"QUIT", "+OK bye"}},
                                            "NONE", "printf 'tok\\n'");
  EXPECT_EQ(received,
            std::string("AUTH OAUTHBEARER\r\nAUTH XOAUTH2\r\n") + kTokenLine + "\r\nQUIT\r\n");
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to localhost", "Connected to localhost",
                          "Trying to figure out AUTH type...", "Trying OAUTHBEARER...",
                          "Server's answer: -ERR not here", "Trying XOAUTH2...", "XOAUTH2 worked!",
                          "Saving AUTH type and logging out...", "Logged out from localhost..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "XOAUTH2");
}

TEST_F(OAuthCheckCycleTest, RefusedTokenLogsTheServersReason) {
  CheckAgainst({{"AUTH XOAUTH2", "+ "},
                {kTokenLine, kErrorChallenge},
                {"", "-ERR [AUTH] Authentication failed."},
                {"QUIT", "+OK bye"}},
               "XOAUTH2", "printf tok");
  EXPECT_THAT(LogOf("Home"), ElementsAre("Trying to connect to localhost", "Connected to localhost",
                                         "Logging in using XOAUTH2...", "XOAUTH2 login failed!",
                                         "Server's answer: -ERR [AUTH] Authentication failed. "
                                         R"({"status":"401","schemes":"bearer","scope":"mail"})",
                                         "the server refused the OAuth2 token (XOAUTH2): -ERR "
                                         "[AUTH] Authentication failed. "
                                         R"({"status":"401","schemes":"bearer","scope":"mail"})",
                                         "Logged out from localhost..."));
}

// An access token of Corvel's own authorization is kept from one check to
// the next, but not once a server has refused it: the next check renews it.
TEST_F(OAuthCheckCycleTest, RefusedAccessTokenIsRenewedForTheNextCheck) {
  OAuthTestServer authorizer;
  authorizer.SetAccessToken("tok", 3600);
  OAuthSettings settings;
  settings.provider = "custom";
  settings.clientId = OAuthTestServer::kClientId;
  settings.authorizeUrl = authorizer.AuthorizeUrl();
  settings.tokenUrl = authorizer.TokenUrl();
  settings.scope = "pop";
  AuthorizeOptions browser;
  browser.openBrowser = authorizer.Browser();
  const TokenGrant grant = Authorize(settings, "", browser);
  ASSERT_TRUE(grant.ok) << grant.reason;

  const TlsTestServer::Session refuse = [](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write(kGreeting);
    Pop3Exchange(peer, {{"AUTH XOAUTH2", "+ "},
                        {kTokenLine, kErrorChallenge},
                        {"", "-ERR [AUTH] Authentication failed."},
                        {"QUIT", "+OK bye"}});
    peer.SendCloseNotify();
    peer.ReadToEnd();
  };
  TlsTestServer server({good_}, std::vector<TlsTestServer::Session>{refuse, refuse});
  AddOAuthAccount(server.PortText(), kSecurityTls, "XOAUTH2", "");
  AccountFile file;
  file.Open();
  AccountRecord record = file.ReadRecord(0);
  record.SetLogin(LoginKind::loginOAuthBuiltIn);
  file.WriteRecord(0, record);
  OAuthSettingsFile settingsFile(OAuthSettingsFileFor(kAccountsFileName));
  settingsFile.Set(record.PlainUidlFileName(), settings);
  settingsFile.Save();
  auto keyring = std::make_shared<MemoryKeyring>();
  (void)keyring->Write(KeyringKeyOf(record, kSecretKindRefreshToken), "", grant.refreshToken);
  MainWindowOptions options;
  options.keyring = keyring;
  Start(std::move(options));

  for (const int grants : {1, 2}) {
    const std::vector<CheckReport> reports = window_->CheckAllNow();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].reason,
              "the server refused the OAuth2 token (XOAUTH2): -ERR [AUTH] Authentication failed. "
              R"({"status":"401","schemes":"bearer","scope":"mail"})");
    EXPECT_EQ(authorizer.RefreshGrants(), grants);
  }
}

// Checks that end before any connection, with the reason in the log.
TEST_F(OAuthCheckCycleTest, NoConnectionWithoutTlsOrWithoutAToken) {
  struct Case {
    std::uint8_t mode;
    const char* command;
    const char* reason;
  };
  const Case cases[] = {
      {kSecurityAuto, "printf tok",
       "Not connecting: an OAuth2 token is sent only over TLS (security tls or starttls)"},
      {kSecurityTls, "sh -c 'echo \"no such account\" >&2; echo partial; exit 3'",
       "Token command failed with exit status 3: no such account"},
      {kSecurityTls, "true", "Token command printed no token"},
      {kSecurityTls, "/nonexistent/oama access",
       "Token command '/nonexistent/oama' could not be started: No such file or directory"},
      {kSecurityStartTls, "sh -c 'kill -9 $$'", "Token command ended by signal 9"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    AddOAuthAccount(ClosedPort(), cases[i].mode, "XOAUTH2", cases[i].command,
                    "A" + std::to_string(i));
  }
  Start();
  const std::vector<CheckReport> outcomes = window_->CheckAllNow();
  ASSERT_EQ(outcomes.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].command);
    EXPECT_EQ(outcomes[i].outcome, CheckOutcome::NotAttempted);
    EXPECT_EQ(outcomes[i].reason, cases[i].reason);
    EXPECT_THAT(LogOf("A" + std::to_string(i)),
                ElementsAre(cases[i].reason, "Logged out from localhost..."));
  }
}

}  // namespace
}  // namespace corvel::test
