// Corvel's own OAuth2 authorization on Windows, under Wine: WinHTTP to the
// token endpoint, the Winsock listener for the browser's redirect, the
// refresh token in the Credential Manager, and a check that logs in with
// the token it brings. The authorization server and its browser run on the
// build machine (the TLS peer host).
#include <winsock2.h>
// after winsock2.h
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/auth/account_secrets.h"
#include "app/auth/oauth_flow.h"
#include "main_window_fixture.h"
#include "support/loopback.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr char kTokenLine[] = "dXNlcj11c2VyAWF1dGg9QmVhcmVyIHRvawEB";  // user, token "tok"

OAuthSettings SettingsOf(const OAuthTestServer& server) {
  OAuthSettings settings;
  settings.provider = "custom";
  settings.clientId = OAuthTestServer::kClientId;
  settings.authorizeUrl = server.AuthorizeUrl();
  settings.tokenUrl = server.TokenUrl();
  settings.scope = "pop3 offline_access";
  return settings;
}

// A client connection to the program's listener.
PeerSocket Connect(std::uint16_t port) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return PeerSocket(static_cast<int>(s));
}

class Win32OAuthCheck : public MainWindowTest {
 protected:
  Win32OAuthCheck() : trust_(pki_.TrustOnly()), good_(pki_.Issue("good")) {}

  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  CertFiles good_;
};

// The whole round as a user goes through it: the browser sent to the
// authorization server and back to the listener, the code exchanged with
// WinHTTP, the refresh token filed in the Credential Manager; then a check
// that renews the access token and logs in with it.
TEST_F(Win32OAuthCheck, AuthorizedAccountChecksWithTheTokenItsRefreshTokenBrings) {
  OAuthTestServer authorizer;
  authorizer.SetAccessToken("tok", 3600);
  const OAuthSettings settings = SettingsOf(authorizer);
  AuthorizeOptions browser;
  browser.openBrowser = authorizer.Browser();
  const TokenGrant grant = Authorize(settings, "", browser);
  ASSERT_TRUE(grant.ok) << grant.reason << authorizer.Refusals();
  EXPECT_EQ(grant.refreshToken, "test-refresh-1");
  EXPECT_THAT(authorizer.BrowserPage(), HasSubstr("Corvel has the authorization."));

  std::string received;
  TlsTestServer server({good_}, [&](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write("+OK POP3 ready\r\n");
    received = Pop3Exchange(peer, {{"AUTH XOAUTH2", "+ "},
                                   {kTokenLine, "+OK welcome"},
                                   {"STAT", "+OK 0 0"},
                                   {"QUIT", "+OK bye"}});
    peer.SendCloseNotify();
    peer.ReadToEnd();
  });
  TestAccount account;
  account.server = "localhost";
  account.port = server.PortText();
  account.password = std::string(kOAuthMarker);
  account.authMethod = "XOAUTH2";
  account.leaveMail = false;
  AddAccount(account);
  AccountFile file;
  file.Open();
  AccountRecord record = file.ReadRecord(0);
  record.SetSecurityMode(kSecurityTls);
  record.SetLogin(LoginKind::loginOAuthBuiltIn);
  file.WriteRecord(0, record);
  file.Close();
  OAuthSettingsFile settingsFile(OAuthSettingsFileFor(kAccountsFileName));
  settingsFile.Set(record.PlainUidlFileName(), settings);
  settingsFile.Save();
  const std::unique_ptr<SecretStore> credentials = SystemSecretStore();
  const SecretKey key = KeyringKeyOf(record, kSecretKindRefreshToken);
  ASSERT_TRUE(credentials->Write(key, KeyringLabelOf(record), grant.refreshToken).ok);

  Start();
  const std::vector<CheckReport> reports = window_->CheckAllNow();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].reason, "");
  EXPECT_EQ(received, std::string("AUTH XOAUTH2\r\n") + kTokenLine + "\r\nSTAT\r\nQUIT\r\n");
  // The refresh token the renewal turned over replaced the old one.
  EXPECT_EQ(credentials->Read(key).secret, "test-refresh-2");
  EXPECT_TRUE(credentials->Erase(key).ok);

  authorizer.DenyAuthorization("access_denied");
  EXPECT_EQ(Authorize(settings, "", browser).reason,
            "the provider refused the authorization: access_denied: The user said no");
}

// What the token endpoint answers, and how the form reached it.
TEST(Win32TokenEndpoint, PostsTheFormAndReadsTheAnswerOnlyFromThatEndpoint) {
  struct Case {
    const char* reply;  // nullptr: no answer at all
    bool reached;
    long status;
    const char* member;  // "name=value" in the JSON answer, or the reason
  };
  const std::string longBody(70 * 1024, 'x');
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 38\r\n\r\n"
       "{\"access_token\":\"a\",\"expires_in\":59.5}",
       true, 200, "expires_in=59.5"},
      // A redirect would carry the code and the secrets elsewhere.
      {"HTTP/1.1 307 Temporary Redirect\r\nLocation: http://127.0.0.1:9/token\r\n"
       "Content-Length: 0\r\n\r\n",
       true, 307, ""},
      {nullptr, false, 0, "no answer within 1 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply != nullptr ? c.reply : "(silence)");
    test::LoopbackListener listener;
    std::string request;
    std::thread endpoint([&] {
      PeerSocket peer = listener.Accept();
      while (request.find("\r\n\r\n") == std::string::npos) {
        const std::string byte = peer.ReadExactly(1);
        if (byte.empty()) return;
        request += byte;
      }
      const std::size_t length = request.find("Content-Length: ");
      if (length != std::string::npos) {
        request += peer.ReadExactly(std::stoul(request.substr(length + 16)));
      }
      if (c.reply != nullptr) {
        peer.SendAll(c.reply);
      } else {
        peer.WaitForClose();
      }
    });
    const HttpFormAnswer answer =
        PostForm("http://127.0.0.1:" + listener.PortText() + "/token?tenant=x",
                 {{"client_id", "a b"}, {"code", "&="}}, 1000);
    endpoint.join();
    EXPECT_THAT(request, StartsWith("POST /token?tenant=x HTTP/1.1\r\n"));
    EXPECT_THAT(request, HasSubstr("Content-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_THAT(request, HasSubstr("\r\n\r\nclient_id=a%20b&code=%26%3D"));
    EXPECT_EQ(answer.reached, c.reached);
    EXPECT_EQ(answer.status, c.status);
    if (!c.reached) {
      EXPECT_EQ(answer.reason, c.member);
    } else if (*c.member != '\0') {
      const std::string member = c.member;
      const std::size_t equals = member.find('=');
      EXPECT_EQ(answer.members.at(member.substr(0, equals)), member.substr(equals + 1));
    }
  }
}

// A browser's idle connection, a stray request and a redirect of another
// authorization do not end the wait; the browser's redirect does.
TEST(Win32LoopbackListener, PassesOverIdleAndStrayConnectionsToTheRedirect) {
  corvel::LoopbackListener listener;
  std::string stray;
  std::string other;
  std::string redirect;
  std::thread browser([&] {
    PeerSocket idle = Connect(listener.Port());
    for (auto [request, reply] :
         {std::pair{"/favicon.ico", &stray}, std::pair{"/?state=x&code=c", &other},
          std::pair{"/?state=s&code=c", &redirect}}) {
      PeerSocket connection = Connect(listener.Port());
      connection.SendAll(std::string("GET ") + request + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
      *reply = connection.ReadUntilClosed();
    }
  });
  const auto answer = [](const std::string& target) {
    const bool ours = target.find("state=s&") != std::string::npos;
    return corvel::LoopbackListener::Answer{ours, "<p>" + target + "</p>", ours};
  };
  const corvel::LoopbackListener::Request request = listener.Wait("/", 30000, answer);
  browser.join();
  EXPECT_TRUE(request.ok) << request.reason;
  EXPECT_EQ(request.target, "/?state=s&code=c");
  EXPECT_THAT(stray, StartsWith("HTTP/1.1 404 Not Found\r\n"));
  EXPECT_THAT(other, StartsWith("HTTP/1.1 400 Bad Request\r\n"));
  EXPECT_THAT(redirect, StartsWith("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(redirect, HasSubstr("\r\n\r\n<p>/?state=s&code=c</p>"));

  const corvel::LoopbackListener::Request late = listener.Wait("/", 200, answer);
  EXPECT_FALSE(late.ok);
  EXPECT_EQ(late.reason, "no answer from the browser within 0 s");

  // The editor's Cancel, also while a browser keeps a connection silent.
  PeerSocket idle = Connect(listener.Port());
  int asked = 0;
  const corvel::LoopbackListener::Request cancelled =
      listener.Wait("/", 300000, answer, [&asked] { return ++asked == 5; });
  EXPECT_FALSE(cancelled.ok);
  EXPECT_EQ(cancelled.reason, kWaitCancelled);
}

TEST(Win32Browser, OnlyAWebAddressIsHandedToTheShell) {
  std::string why;
  EXPECT_FALSE(OpenInBrowser("file:///C:/windows/system32/calc.exe", why));
  EXPECT_EQ(why, "only a web address is opened in the browser");
}

}  // namespace
}  // namespace corvel::test
