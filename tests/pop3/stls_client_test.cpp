// The POP3 engine over TLS: STLS (RFC 2595) on a plain connection, TLS from
// the first byte, and the plain transcript left exactly as it was.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/socket_errors.h"
#include "pop3_test_fixture.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"

namespace corvel {
namespace {

using test::CertFiles;
using test::CertSpec;
using test::TestPki;
using test::TlsPeer;
using test::TlsTestServer;

constexpr char kGreeting[] = "+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n";

// What the server thread saw, read once its session has ended.
struct ServerView {
  std::string plain;       // client lines before the upgrade
  std::string protected_;  // client lines after it
  std::string afterFailure;
  bool handshook = false;
};

void Converse(TlsPeer& peer, ServerView& view,
              const std::vector<std::pair<std::string, std::string>>& exchange) {
  view.protected_ += test::Pop3Exchange(peer, exchange);
}

class Pop3Tls : public Pop3ClientTest {
 protected:
  Pop3Tls() : trust_(pki_.TrustOnly()), good_(pki_.Issue("good")) {}

  void Use(const TlsTestServer& server) {
    client_.SetHost("localhost");
    client_.SetPort(server.PortText());
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

// ---- STLS.

TEST_F(Pop3Tls, StlsUpgradesTheConnectionAndTheLoginGoesOutProtected) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    view.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS negotiation\r\n");
    if (!(view.handshook = peer.Handshake())) return;
    Converse(peer, view,
             {{"USER tim", "+OK"},
              {"PASS secret", "+OK logged in"},
              {"STAT", "+OK 2 320"},
              {"QUIT", "+OK bye"}});
    peer.SendCloseNotify();
    peer.ReadToEnd();
  });
  Use(server);
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_FALSE(client_.TlsActive());
  ASSERT_TRUE(client_.StlsSync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.TlsActive());
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3WaitingUser);
  EXPECT_EQ(client_.RequestResult(), 0);
  EXPECT_EQ(client_.Timestamp(), "<1896.697170952@dbc.mtview.ca.us>");
  // OnRequestDone names the request running when it is delivered.
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, Pop3Request::pop3Stls);
  EXPECT_EQ(done_[1].error, 0);
  ASSERT_TRUE(client_.UserSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.PassSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.StatSync()) << client_.ErrorMessage();
  EXPECT_EQ(client_.MsgCount(), 2);
  EXPECT_EQ(client_.MsgSize(), 320);
  EXPECT_TRUE(client_.QuitSync());
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));

  EXPECT_EQ(view.plain, "STLS\r\n");
  EXPECT_TRUE(view.handshook);
  EXPECT_EQ(view.protected_, "USER tim\r\nPASS secret\r\nSTAT\r\nQUIT\r\n");
  EXPECT_EQ(display_[1], "> STLS");
  EXPECT_EQ(display_[2], "< +OK Begin TLS negotiation");
}

TEST_F(Pop3Tls, ApopAfterStlsDigestsTheTimestampOfThePlainGreeting) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    view.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK go ahead\r\n");
    if (!peer.Handshake()) return;
    // RFC 1939's example: this timestamp and "tanstaaf".
    Converse(peer, view, {{"APOP mrose c4c9334bac560ecc979e58001b3e22fb", "+OK maildrop"}});
    peer.ReadToEnd();
  });
  Use(server);
  client_.SetUserName("mrose");
  client_.SetPassWord("tanstaaf");
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.StlsSync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.APopSync()) << client_.ErrorMessage();
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3Transaction);
  client_.Abort();
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
  EXPECT_EQ(view.protected_, "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n");
}

TEST_F(Pop3Tls, StlsNegativeReplyEndsWith500AndKeepsThePlainConnection) {
  Pop3Script script;
  script.Send("+OK POP3 ready")
      .Expect("STLS")
      .Send("-ERR Unknown command")
      .Expect("USER tim")
      .Send("+OK")
      .StaySilent();
  ScriptedPop3Server server(script);
  Pop3ClientTest::Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.StlsSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Unknown command");
  EXPECT_TRUE(client_.Connected());
  EXPECT_FALSE(client_.TlsActive());
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3WaitingUser);
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, Pop3Request::pop3Stls);
  EXPECT_EQ(done_[1].error, 500);
  EXPECT_TRUE(client_.UserSync());
  client_.Abort();
  ExpectNoFailures(server);
  EXPECT_EQ(server.Transcript(), "STLS\r\nUSER tim\r\n");
}

TEST_F(Pop3Tls, StlsEndedByTheServersCloseIsAFailure) {
  Pop3Script script;
  script.Send("+OK POP3 ready").Expect("STLS").Close();
  ScriptedPop3Server server(script);
  Pop3ClientTest::Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.StlsSync()) << "nothing was protected";
  EXPECT_EQ(client_.RequestResult(), kPop3ConnectionClosed);
  EXPECT_FALSE(client_.Connected());
  ExpectNoFailures(server);
}

TEST_F(Pop3Tls, StlsIsRefusedOutsideTheAuthorizationStateWithoutSendingIt) {
  EXPECT_FALSE(client_.StlsSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR STLS command invalid now");

  Pop3Script script = LoggedInScript();
  script.StaySilent();
  ScriptedPop3Server server(script);
  Pop3ClientTest::Use(server);
  LogIn();
  EXPECT_FALSE(client_.StlsSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR STLS command invalid now");
  EXPECT_EQ(display_.back(), "-ERR STLS command invalid now");
  client_.Abort();
  ExpectNoFailures(server);
  EXPECT_EQ(server.Transcript(), kLoginTranscript);
}

TEST_F(Pop3Tls, StlsWithAFailedHandshakeEndsWithTheTlsCodeAndItsReason) {
  ServerView view;
  TlsTestServer server({Expired()}, [&view](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    view.plain = peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS\r\n");
    view.handshook = peer.Handshake();
    view.afterFailure = peer.ReadRawToEnd();
  });
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.StlsSync());
  EXPECT_EQ(client_.RequestResult(), kTlsHandshakeFailed);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR TLS handshake failed: certificate has expired");
  EXPECT_EQ(client_.LastResponse(), "-ERR TLS handshake failed: certificate has expired");
  EXPECT_EQ(client_.TlsFailureReason(), "certificate has expired");
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3Disconnected);
  // Nothing more goes out: a login now is refused before it is sent.
  EXPECT_FALSE(client_.UserSync());
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
  EXPECT_FALSE(view.handshook);
  EXPECT_EQ(view.afterFailure, "");
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, Pop3Request::pop3Stls);
  EXPECT_EQ(done_[1].error, kTlsHandshakeFailed);
}

TEST_F(Pop3Tls, StlsDropsPlainTextThatCameBehindTheGoAhead) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    view.plain = peer.ReadPlainLine();
    // One write: the injected line arrives with the go-ahead.
    peer.WritePlain("+OK Begin TLS\r\n+OK injected\r\n");
    if (!peer.Handshake()) return;
    Converse(peer, view, {{"USER tim", "-ERR no such user"}});
    peer.ReadToEnd();
  });
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.StlsSync()) << client_.ErrorMessage();
  EXPECT_FALSE(client_.UserSync()) << "the injected line was taken as the reply";
  EXPECT_EQ(client_.ErrorMessage(), "-ERR no such user");
  client_.Abort();
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
  EXPECT_EQ(view.protected_, "USER tim\r\n");
}

TEST_F(Pop3Tls, StlsWhoseHandshakeNeverComesTimesOut) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    peer.WritePlain(kGreeting);
    peer.ReadPlainLine();
    peer.WritePlain("+OK Begin TLS\r\n");
    peer.ReadRawToEnd();  // and never answers the ClientHello
  });
  Use(server);
  client_.SetTimeout(1);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.StlsSync());
  EXPECT_EQ(client_.ErrorMessage(), "426 Timeout");
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
}

// ---- TLS from the first byte.

TEST_F(Pop3Tls, ImplicitTlsConnectsAndRunsTheSessionProtected) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    if (!(view.handshook = peer.Handshake())) return;
    peer.Write(kGreeting);
    Converse(peer, view,
             {{"USER tim", "+OK"},
              {"PASS secret", "+OK"},
              {"UIDL 1", "+OK 1 XQ-91a"},
              {"QUIT", "+OK bye"}});
    peer.CloseTcp();
  });
  Use(server);
  client_.SetTlsMode(SocketTlsMode::tlsImplicit);
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.TlsActive());
  EXPECT_TRUE(client_.HasTimestamp());
  ASSERT_TRUE(client_.UserSync());
  ASSERT_TRUE(client_.PassSync());
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.UidlSync());
  EXPECT_EQ(client_.MsgUidl(), "XQ-91a");
  EXPECT_TRUE(client_.QuitSync());
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
  EXPECT_EQ(view.protected_, "USER tim\r\nPASS secret\r\nUIDL 1\r\nQUIT\r\n");
}

TEST_F(Pop3Tls, ImplicitTlsHandshakeFailureFailsConnectWithTheReason) {
  CertSpec spec;
  spec.selfSigned = true;
  ServerView view;
  TlsTestServer server({pki_.Issue("self", spec)}, [&view](TlsPeer& peer) {
    view.handshook = peer.Handshake();
    view.afterFailure = peer.ReadRawToEnd();
  });
  Use(server);
  client_.SetTlsMode(SocketTlsMode::tlsImplicit);
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.RequestResult(), kTlsHandshakeFailed);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR TLS handshake failed: self-signed certificate");
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.State(), Pop3EngineState::pop3Idle);
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
  EXPECT_FALSE(view.handshook);
  EXPECT_EQ(view.afterFailure, "");
}

TEST_F(Pop3Tls, ImplicitTlsChecksTheNameAsTypedNotTheAddressConnectedTo) {
  // Host is a name; the connection goes to its address, the check to the
  // name. A separate TlsHostName replaces it.
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    view.handshook = peer.Handshake();
    view.afterFailure = peer.ReadRawToEnd();
  });
  Use(server);
  client_.SetTlsMode(SocketTlsMode::tlsImplicit);
  client_.SetTlsHostName("mail.example.test");
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.TlsFailureReason(), "host name mismatch");
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
  EXPECT_FALSE(view.handshook);
}

TEST_F(Pop3Tls, BrokenRecordInTheMiddleOfAnAnswerFailsTheRequest) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write(kGreeting);
    ServerView ignored;
    Converse(peer, ignored, {{"USER tim", "+OK"}, {"PASS secret", "+OK"}});
    if (peer.ReadLine() != "UIDL\r\n") return;
    peer.Write("+OK\r\n1 first\r\n");
    std::string forged("\x17\x03\x03\x00\x20", 5);
    peer.WritePlain(forged + std::string(32, '\x5A'));
    peer.ReadRawToEnd();
  });
  Use(server);
  client_.SetTlsMode(SocketTlsMode::tlsImplicit);
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.UserSync());
  ASSERT_TRUE(client_.PassSync());
  client_.SetMsgNum(0);
  EXPECT_FALSE(client_.UidlSync()) << "a cut-short answer must not count as complete";
  EXPECT_EQ(client_.RequestResult(), kTlsProtocolError);
  EXPECT_EQ(client_.ErrorMessage().rfind("-ERR TLS protocol error: ", 0), 0u)
      << client_.ErrorMessage();
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(Pump([&] { return server.Finished(); }));
}

// ---- Without TLS.

TEST_F(Pop3ClientTest, WithoutTlsTheTranscriptIsExactlyThePlainOne) {
  Pop3Script script;
  script.Send("+OK POP3 ready <1.2@x>")
      .Expect("USER tim")
      .Send("+OK")
      .Expect("PASS secret")
      .Send("+OK")
      .Expect("STAT")
      .Send("+OK 1 120")
      .Expect("UIDL 1")
      .Send("+OK 1 abc")
      .Expect("LIST 1")
      .Send("+OK 1 120")
      .Expect("TOP 1 1")
      .Send("+OK")
      .Send("Subject: x")
      .Send("")
      .Send("body")
      .Send(".")
      .Expect("QUIT")
      .Send("+OK bye")
      .Close();
  ScriptedPop3Server server(script);
  Use(server);
  EXPECT_EQ(client_.TlsMode(), SocketTlsMode::tlsOff);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.UserSync());
  ASSERT_TRUE(client_.PassSync());
  ASSERT_TRUE(client_.StatSync());
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.UidlSync());
  ASSERT_TRUE(client_.ListSync());
  client_.SetMsgLines(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_TRUE(client_.QuitSync());
  EXPECT_FALSE(client_.TlsActive());
  ExpectNoFailures(server);
  EXPECT_EQ(server.Transcript(),
            "USER tim\r\nPASS secret\r\nSTAT\r\nUIDL 1\r\nLIST 1\r\nTOP 1 1\r\nQUIT\r\n");
}

}  // namespace
}  // namespace corvel
