// The check cycle over TLS as a user sees it: which accounts connect how, the
// "TLS failed: " lines, and the connection-error balloon, with real sessions
// against TLS servers on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/auth/oauth_flow.h"
#include "checker/mail_checker.h"
#include "main_window_fixture.h"
#ifndef _WIN32
#include "net/posix/openssl_library.h"
#endif
#include "support/scripted_pop3_server.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kGreeting[] = "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n";
constexpr std::uint32_t kLimitMs = 30000;

// What a server thread saw, read once its sessions have ended.
struct Seen {
  std::string plain;
  std::string protected_;
  std::string afterFailure;
  bool handshook = false;
};

class TlsCheckCycleTest : public MainWindowTest {
 protected:
  TlsCheckCycleTest() : trust_(pki_.TrustOnly()), good_(pki_.Issue("good")) {}

  // An account on `port` of "localhost", its method known, with `mode`.
  void AddTlsAccount(const std::string& port, std::uint8_t mode, std::string name = "Home",
                     std::string method = "NONE") {
    TestAccount account;
    account.name = std::move(name);
    account.server = "localhost";
    account.port = port;
    account.authMethod = std::move(method);
    account.leaveMail = false;
    AddAccount(account);
    AccountFile file;
    file.Open();
    AccountRecord record = file.ReadRecord(file.RecordCount() - 1);
    record.SetSecurityMode(mode);
    file.WriteRecord(file.RecordCount() - 1, record);
  }

  void WaitFinished(const TlsTestServer& server) {
    EXPECT_TRUE(WaitFor(
        loop_, [&] { return server.Finished(); }, kLimitMs));
  }

  CertFiles Expired() {
    CertSpec spec;
    spec.validFrom = -10 * 24 * 3600;
    spec.validUntil = -24 * 3600;
    return pki_.Issue("expired", spec);
  }

  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  CertFiles good_;
};

// The login of an account whose method is "NONE", on an empty mailbox.
const std::vector<std::pair<std::string, std::string>> kEmptyMailboxCheck = {
    {"USER user", "+OK"}, {"PASS secret", "+OK"}, {"STAT", "+OK 0 0"}, {"QUIT", "+OK bye"}};

TEST(TlsModeFor, PlainExceptOnPort995UnlessTheAccountSaysOtherwise) {
  EXPECT_EQ(TlsModeFor(kSecurityAuto, 110), SocketTlsMode::tlsOff);
  EXPECT_EQ(TlsModeFor(kSecurityAuto, 995), SocketTlsMode::tlsImplicit);
  EXPECT_EQ(TlsModeFor(kSecurityStartTls, 995), SocketTlsMode::tlsOff);
  EXPECT_EQ(TlsModeFor(kSecurityStartTls, 110), SocketTlsMode::tlsOff);
  EXPECT_EQ(TlsModeFor(kSecurityTls, 110), SocketTlsMode::tlsImplicit);
  EXPECT_EQ(TlsModeFor(kSecurityTls, 995), SocketTlsMode::tlsImplicit);
}

TEST_F(TlsCheckCycleTest, TlsAccountChecksOverTlsFromTheFirstByte) {
  Seen seen;
  TlsTestServer server({good_}, [&seen](TlsPeer& peer) {
    if (!(seen.handshook = peer.Handshake())) return;
    peer.Write(kGreeting);
    seen.protected_ = Pop3Exchange(peer, kEmptyMailboxCheck);
    peer.SendCloseNotify();
    peer.ReadToEnd();
  });
  AddTlsAccount(server.PortText(), kSecurityTls);
  Start();
  Tick();
  WaitFinished(server);
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to localhost", "Connected to localhost",
                          "Logging in with regular cleartext user/pass...", "Logged in!",
                          "No messages, quitting...", "Logged out from localhost..."));
  EXPECT_TRUE(seen.handshook);
  EXPECT_EQ(seen.protected_, "USER user\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
}

TEST_F(TlsCheckCycleTest, StartTlsAccountSendsStlsRightAfterConnectingThenLogsInProtected) {
  Seen seen;
  TlsTestServer server({good_}, [&seen](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    seen.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS negotiation\r\n");
    if (!(seen.handshook = peer.Handshake())) return;
    seen.protected_ = Pop3Exchange(peer, kEmptyMailboxCheck);
    peer.CloseTcp();
  });
  AddTlsAccount(server.PortText(), kSecurityStartTls);
  Start();
  Tick();
  WaitFinished(server);
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to localhost", "Connected to localhost",
                          "Logging in with regular cleartext user/pass...", "Logged in!",
                          "No messages, quitting...", "Logged out from localhost..."));
  EXPECT_EQ(seen.plain, "STLS\r\n");
  EXPECT_EQ(seen.protected_, "USER user\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
}

TEST_F(TlsCheckCycleTest, ExpiredCertificateIsAFailedConnectionWithItsLine) {
  Seen seen;
  TlsTestServer server({Expired()}, [&seen](TlsPeer& peer) {
    seen.handshook = peer.Handshake();
    seen.afterFailure = peer.ReadRawToEnd();
  });
  TestAccount second;
  second.name = "Second";
  second.port = ClosedPort();
  second.authMethod = "NONE";
  AddTlsAccount(server.PortText(), kSecurityTls);
  AddAccount(second);
  settings_.Preset(kProgramKey, "ConnErr", "True");
  Start();
  Tick();
  WaitFinished(server);
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to localhost", "TLS failed: certificate has expired",
                          "Logged out from localhost..."));
  // A failed connection: the balloon names the account and why, and the walk
  // goes on.
  const auto balloons = Balloons();
  ASSERT_EQ(balloons.size(), 2u);
  EXPECT_EQ(balloons[0].text, "Home: TLS failed: certificate has expired");
  EXPECT_EQ(LogOf("Second").front(), "Trying to connect to 127.0.0.1");
  EXPECT_FALSE(seen.handshook);
  EXPECT_EQ(seen.afterFailure, "");
}

#ifndef _WIN32
TEST_F(TlsCheckCycleTest, WithoutOpenSslATlsAccountFailsWithTheReasonAndSoDoesPkce) {
  // OpenSSL is loaded once per process: the case runs in a process of its
  // own, started afresh rather than forked from one that may have loaded it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr char kMissing[] = "/nonexistent/libcrypto-missing.so.3";
  const std::string reason = std::string("OpenSSL (") + kMissing +
                             ") could not be loaded: " + kMissing +
                             ": cannot open shared object file";
  EXPECT_EXIT(
      {
        SetOpenSslLibraryFiles(kMissing, "/nonexistent/libssl-missing.so.3");
        std::vector<CheckReport> reports;
        {
          ScriptedPop3Server server(Pop3Script().StaySilent());
          AddTlsAccount(server.PortText(), kSecurityTls);
          Start();
          window_->OnCheckFinished = [&](const CheckReport& report) { reports.push_back(report); };
          Tick();
        }
        for (const std::string& line : LogOf("Home")) std::cerr << "log: " << line << "\n";
        std::cerr << "report: " << (reports.empty() ? "none" : reports[0].reason) << "\n";
        std::string pkce;
        try {
          pkce = MakePkce().challenge;
        } catch (const std::exception& e) {
          pkce = std::string("failed: ") + e.what();
        }
        std::cerr << "pkce: " << pkce << "\n";
        std::exit(0);
      },
      ::testing::ExitedWithCode(0),
      AllOf(HasSubstr("log: TLS failed: " + reason), HasSubstr("report: TLS failed: " + reason),
            HasSubstr("pkce: failed: no random bytes: " + reason)));
}
#endif

TEST_F(TlsCheckCycleTest, StartTlsAccountOnAServerWithoutStlsFailsWithItsLineAndSendsNoLogin) {
  Pop3Script script;
  script.Send("+OK POP3 ready")
      .Expect("STLS")
      .Send("-ERR Unknown command")
      .Expect("QUIT")
      .Send("+OK bye")
      .Close();
  ScriptedPop3Server server(script);
  TestAccount second;
  second.name = "Second";
  second.port = ClosedPort();
  second.authMethod = "NONE";
  AddTlsAccount(server.PortText(), kSecurityStartTls);
  AddAccount(second);
  settings_.Preset(kProgramKey, "ConnErr", "True");
  Start();
  std::vector<CheckReport> reports;
  window_->OnCheckFinished = [&](const CheckReport& report) { reports.push_back(report); };
  Tick();
  EXPECT_THAT(LogOf("Home"), ElementsAre("Trying to connect to localhost", "Connected to localhost",
                                         "TLS failed: server does not offer STARTTLS",
                                         "Logged out from localhost..."));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].outcome, CheckOutcome::TlsFailed);
  EXPECT_EQ(reports[0].reason, "TLS failed: server does not offer STARTTLS");
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
  EXPECT_EQ(server.Transcript(), "STLS\r\nQUIT\r\n");
  // The connection is not protected: told as a connection error; the server
  // was reached, so the walk ends with this account.
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(Balloons()[0].text, "Home: TLS failed: server does not offer STARTTLS");
  EXPECT_THAT(LogOf("Second"), IsEmpty());
}

TEST_F(TlsCheckCycleTest, TlsAccountOnAPlainTextPortIsToldWhatToUseInstead) {
  ScriptedPop3Server server(Pop3Script().Send("+OK POP3 ready").StaySilent());
  AddTlsAccount(server.PortText(), kSecurityTls);
  Start();
  std::vector<CheckReport> reports;
  window_->OnCheckFinished = [&](const CheckReport& report) { reports.push_back(report); };
  Tick();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(LogOf("Home"), ElementsAre("Trying to connect to localhost",
                                         "TLS failed: server did not answer with TLS",
                                         reports[0].reason, "Logged out from localhost..."));
  EXPECT_EQ(reports[0].outcome, CheckOutcome::ConnectFailed);
  EXPECT_EQ(reports[0].reason,
            "TLS failed: server did not answer with TLS; this port speaks plain text: use "
            "--security starttls, or the server's TLS port");
}

TEST_F(TlsCheckCycleTest, StartTlsWithAWrongHostNameFailsAfterConnectingWithItsLine) {
  CertSpec spec;
  spec.commonName = "mail.example.test";
  spec.dnsNames = {"mail.example.test"};
  Seen seen;
  TlsTestServer server({pki_.Issue("other", spec)}, [&seen](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    seen.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS negotiation\r\n");
    seen.handshook = peer.Handshake();
    seen.afterFailure = peer.ReadRawToEnd();
  });
  AddTlsAccount(server.PortText(), kSecurityStartTls);
  Start();
  Tick();
  WaitFinished(server);
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to localhost", "Connected to localhost",
                          "TLS failed: host name mismatch", "Logged out from localhost..."));
  EXPECT_FALSE(seen.handshook);
  EXPECT_EQ(seen.afterFailure, "");
}

TEST_F(TlsCheckCycleTest, AutoAccountOnAnotherPortStaysPlain) {
  Pop3Script script;
  script.Send("+OK POP3 ready")
      .Expect("USER user")
      .Send("+OK")
      .Expect("PASS secret")
      .Send("+OK")
      .Expect("STAT")
      .Send("+OK 0 0")
      .Expect("QUIT")
      .Send("+OK bye")
      .Close();
  ScriptedPop3Server server(script);
  AddTlsAccount(server.PortText(), kSecurityAuto);
  Start();
  Tick();
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
  EXPECT_EQ(server.Transcript(), "USER user\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
}

TEST_F(TlsCheckCycleTest, UnknownSecurityByteInAnOldFileIsReadAsAuto) {
  Pop3Script script;
  script.Send("+OK POP3 ready").Expect("USER user").Send("-ERR no").Expect("QUIT").Send("+OK");
  script.Close();
  ScriptedPop3Server server(script);
  AddTlsAccount(server.PortText(), kSecurityAuto);
  {
    AccountFile file;
    file.Open();
    AccountRecord record = file.ReadRecord(0);
    record.SecurityModeByte = 7;
    file.WriteRecord(0, record);
  }
  Start();
  Tick();
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
  EXPECT_EQ(server.Transcript(), "USER user\r\nQUIT\r\n");
}

TEST_F(TlsCheckCycleTest, DiscoveryReconnectingAfterApopSendsStlsAgainBeforeAnyLogin) {
  // The first connection drops after a refused APOP; on the second, the AUTH
  // chain must not start before TLS stands again.
  Seen first;
  Seen second;
  auto refuseApopAndLeave = [&first](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    first.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS\r\n");
    if (!peer.Handshake()) return;
    first.protected_ = peer.ReadLine();
    // The refusal and the end of the session arrive together, so the client
    // knows the connection is gone once APOP has failed.
    peer.WriteWithCloseNotify("-ERR permission denied\r\n");
    peer.ReadToEnd();
  };
  auto acceptUserPass = [&second](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    second.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS\r\n");
    if (!peer.Handshake()) return;
    second.protected_ = Pop3Exchange(peer, {{"AUTH CRAM-SHA1", "-ERR no"},
                                            {"AUTH CRAM-MD5", "-ERR no"},
                                            {"AUTH LOGIN", "-ERR no"},
                                            {"USER user", "+OK"},
                                            {"PASS secret", "+OK"},
                                            {"QUIT", "+OK bye"}});
    peer.CloseTcp();
  };
  TlsTestServer server({good_},
                       std::vector<TlsTestServer::Session>{refuseApopAndLeave, acceptUserPass});
  AddTlsAccount(server.PortText(), kSecurityStartTls, "Home", "");
  Start();
  Tick();
  WaitFinished(server);
  EXPECT_THAT(LogOf("Home"), ::testing::Contains("APOP disconnected, connect again."));
  EXPECT_EQ(first.plain, "STLS\r\n");
  EXPECT_EQ(first.protected_.rfind("APOP user ", 0), 0u) << first.protected_;
  EXPECT_EQ(second.plain, "STLS\r\n");
  EXPECT_EQ(
      second.protected_,
      "AUTH CRAM-SHA1\r\nAUTH CRAM-MD5\r\nAUTH LOGIN\r\nUSER user\r\nPASS secret\r\nQUIT\r\n");
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "NONE");
}

}  // namespace
}  // namespace corvel::test
