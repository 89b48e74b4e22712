// APOP and the AUTH logins (LOGIN, CRAM-MD5, CRAM-SHA1), byte for byte, and
// every login method against the mailbox server.
#include <gtest/gtest.h>

#include <string>

#include "codec/base64.h"
#include "pop3/pop3_client.h"
#include "pop3_test_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel {
namespace {

using test::MailboxOptions;
using test::MailboxPop3Server;

using PS = Pop3ProtocolState;
using RQ = Pop3Request;

using Pop3Apop = Pop3ClientTest;
using Pop3AuthLogin = Pop3ClientTest;
using Pop3AuthCram = Pop3ClientTest;
using Pop3Auth = Pop3ClientTest;
using Pop3MailboxLogin = Pop3ClientTest;

constexpr char kRfc1939Greeting[] = "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>";
constexpr char kRfc2195Challenge[] = "+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";

TEST_F(Pop3Apop, SendsTrimmedUserAndDigestOfTimestampAndPassword) {
  ScriptedPop3Server server(Pop3Script()
                                .Send(kRfc1939Greeting)
                                .Expect("APOP mrose a6f0dd348916c9ee9539661f94c75203")
                                .Send("+OK mrose's maildrop has 2 messages (320 octets)"));
  Use(server);
  client_.SetUserName("  mrose\t");
  client_.SetPassWord("tanstaafl");
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.APopSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
  EXPECT_EQ(server.Transcript(), "APOP mrose a6f0dd348916c9ee9539661f94c75203\r\n");
  EXPECT_EQ(display_[1], "> APOP mrose a6f0dd348916c9ee9539661f94c75203");
}

TEST_F(Pop3Apop, DigestsPasswordWithItsSpaces) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK <1.2@x>")
                                .Expect("APOP tim 3bcca15d1bfd715c6e3d5e1ba9d87443")
                                .Send("+OK"));
  Use(server);
  client_.SetPassWord(" pw ");
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.APopSync());
}

TEST_F(Pop3Apop, WithoutTimestampRaisesAndSendsNothing) {
  ScriptedPop3Server server(Pop3Script().Send("+OK no stamp").StaySilent());
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_THROW(client_.APop(), Pop3Exception);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Server does not support APOP (no timestamp)");
  EXPECT_EQ(display_.back(), "-ERR Server does not support APOP (no timestamp)");
  EXPECT_FALSE(client_.APopSync());
  EXPECT_EQ(server.Transcript(), "");
}

TEST_F(Pop3Apop, AfterUserRaisesApopRefusal) {
  ScriptedPop3Server server(Pop3Script().Send("+OK <1.2@x>").Expect("USER tim").Send("+OK"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.UserSync());
  EXPECT_FALSE(client_.APopSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR APOP command invalid now");
}

TEST_F(Pop3Apop, NotConnectedRaisesApopRefusal) {
  try {
    client_.APop();
    FAIL();
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "-ERR APOP command invalid now");
  }
}

TEST_F(Pop3Apop, NegativeReplyLeavesProtocolState) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK <1.2@x>").ReceiveLine().Send("-ERR [AUTH] Authentication failed."));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.APopSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR [AUTH] Authentication failed.");
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingUser);
}

TEST_F(Pop3AuthLogin, SendsCommandUserAndPasswordInBase64) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH LOGIN")
                                .Send("+ VXNlcm5hbWU6")
                                .Expect("dGlt")
                                .Send("+ UGFzc3dvcmQ6")
                                .Expect("c2VjcmV0")
                                .Send("+OK Logged in."));
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthLogin);
  ASSERT_TRUE(client_.ConnectSync());
  std::vector<Pop3EngineState> states;
  client_.OnStateChange = [&] { states.push_back(client_.State()); };
  client_.Auth();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, RQ::pop3Pass);
  EXPECT_EQ(done_[1].error, 0);
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
  EXPECT_EQ(server.Transcript(), "AUTH LOGIN\r\ndGlt\r\nc2VjcmV0\r\n");
  // Between the steps the state moves to pop3StepReady without a report.
  using ES = Pop3EngineState;
  EXPECT_EQ(states, (std::vector<ES>{ES::pop3WaitingReply, ES::pop3WaitingReply,
                                     ES::pop3WaitingReply, ES::pop3Idle}));
  ExpectNoFailures(server);
}

TEST_F(Pop3AuthLogin, AcceptsOkInsteadOfContinuation) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH LOGIN")
                                .Send("+OK")
                                .Expect("dGlt")
                                .Send("+OK")
                                .Expect("c2VjcmV0")
                                .Send("+OK"));
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthLogin);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.AuthSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
}

TEST_F(Pop3AuthLogin, RefusalReportsTheStepThatFailed) {
  ScriptedPop3Server server(
      {Pop3Script().Send("+OK").Expect("AUTH LOGIN").Send("-ERR no"), Pop3Script()
                                                                          .Send("+OK")
                                                                          .Expect("AUTH LOGIN")
                                                                          .Send("+ x")
                                                                          .Expect("dGlt")
                                                                          .Send("-ERR bad user")});
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthLogin);
  ASSERT_TRUE(client_.ConnectSync());
  client_.Auth();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, RQ::pop3Auth);
  EXPECT_EQ(done_[1].error, 500);
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingUser);
  client_.Abort();
  ASSERT_TRUE(WaitDone(2));
  ASSERT_TRUE(client_.ConnectSync());
  client_.Auth();
  ASSERT_TRUE(WaitDone(4));
  EXPECT_EQ(done_[3].rqType, RQ::pop3User);
  EXPECT_EQ(done_[3].error, 500);
}

TEST_F(Pop3AuthCram, ReproducesTheRfc2195Exchange) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH CRAM-MD5")
                                .Send(kRfc2195Challenge)
                                .Expect("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw")
                                .Send("+OK"));
  Use(server);
  client_.SetPassWord("tanstaaftanstaaf");
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.AuthSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
  EXPECT_EQ(server.Transcript(),
            "AUTH CRAM-MD5\r\ndGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n");
}

// The digest was computed independently with "openssl dgst -sha1 -hmac".
TEST_F(Pop3AuthCram, Sha1AnswersWithHmacSha1OfTheChallenge) {
  const std::string answer = EncodeBase64("tim 8cb10ed0a8b764ab0e05125dd6eaa295f19b5943");
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH CRAM-SHA1")
                                .Send(kRfc2195Challenge)
                                .Expect(answer)
                                .Send("+OK"));
  Use(server);
  client_.SetPassWord("tanstaaftanstaaf");
  client_.SetAuthType(Pop3AuthType::popAuthCramSHA1);
  ASSERT_TRUE(client_.ConnectSync());
  client_.Auth();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, RQ::pop3Pass);
  EXPECT_EQ(done_[1].error, 0);
  EXPECT_EQ(server.Transcript(), "AUTH CRAM-SHA1\r\n" + answer + "\r\n");
}

TEST_F(Pop3AuthCram, MalformedMd5ChallengeEndsWithItsText) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK").Expect("AUTH CRAM-MD5").Send("+ ").StaySilent());
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  ASSERT_TRUE(client_.ConnectSync());
  client_.Auth();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].error, 500);
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.LastResponse(), "500 Malformed MD5 Challenge: + ");
  EXPECT_EQ(client_.ErrorMessage(), "500 Malformed MD5 Challenge: + ");
  EXPECT_EQ(server.Transcript(), "AUTH CRAM-MD5\r\n");
}

TEST_F(Pop3AuthCram, MalformedSha1ChallengeEndsWithItsText) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK").Expect("AUTH CRAM-SHA1").Send("+").StaySilent());
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthCramSHA1);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.LastResponse(), "-ERR Malformed SHA1 Challenge: +");
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Malformed SHA1 Challenge: +");
}

TEST_F(Pop3AuthCram, GarbageChallengeStillGetsAnAnswer) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH CRAM-MD5")
                                .SendRaw("+ \x01\xff==*%\r\n")
                                .ReceiveLine()
                                .Send("-ERR nope"));
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR nope");
}

TEST_F(Pop3Auth, NoneSendsWhatUserSends) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").Send("+OK"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  client_.Auth();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, RQ::pop3User);
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingPass);
}

TEST_F(Pop3Auth, RefusedAfterUserWithTheAuthText) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").Send("+OK"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.UserSync());
  for (auto type : {Pop3AuthType::popAuthNone, Pop3AuthType::popAuthLogin}) {
    client_.SetAuthType(type);
    try {
      client_.Auth();
      FAIL();
    } catch (const Pop3Exception& e) {
      EXPECT_STREQ(e.what(), "-ERR AUTH command invalid now");
    }
    EXPECT_EQ(client_.ErrorMessage(), "-ERR AUTH command invalid now");
    EXPECT_EQ(display_.back(), "-ERR AUTH command invalid now");
  }
}

TEST_F(Pop3Auth, NotConnectedRaisesNotConnected) {
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  try {
    client_.Auth();
    FAIL();
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "POP3 component not connected");
  }
}

TEST_F(Pop3Auth, NegativeReplyToTheAnswerKeepsWaitingUser) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH CRAM-MD5")
                                .Send(kRfc2195Challenge)
                                .ReceiveLine()
                                .Send("-ERR [AUTH] Authentication failed."));
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingUser);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR [AUTH] Authentication failed.");
}

struct MailboxLoginCase {
  const char* name;
  Pop3AuthType type;  // popAuthNone with apop false: USER/PASS
  bool apop;
};

TEST_F(Pop3MailboxLogin, EveryMethodLogsInAndWrongPasswordIsRefused) {
  MailboxOptions options;
  options.user = "tim";
  options.password = "secret";
  MailboxPop3Server server(options);
  server.AddMessage("uid-1", "From: Ann\nSubject: One\n\nbody\n");
  client_.SetHost(MailboxPop3Server::Host());
  client_.SetPort(server.PortText());
  const MailboxLoginCase cases[] = {{"APOP", Pop3AuthType::popAuthNone, true},
                                    {"LOGIN", Pop3AuthType::popAuthLogin, false},
                                    {"CRAM-MD5", Pop3AuthType::popAuthCramMD5, false},
                                    {"CRAM-SHA1", Pop3AuthType::popAuthCramSHA1, false},
                                    {"USER/PASS", Pop3AuthType::popAuthNone, false}};
  for (const std::string password : {"secret", "wrong"}) {
    for (const MailboxLoginCase& c : cases) {
      client_.SetPassWord(password);
      client_.SetAuthType(c.type);
      ASSERT_TRUE(client_.ConnectSync()) << c.name;
      bool ok = c.apop ? client_.APopSync() : client_.AuthSync();
      if (ok && !c.apop && c.type == Pop3AuthType::popAuthNone) ok = client_.PassSync();
      EXPECT_EQ(ok, password == "secret") << c.name << " " << password;
      if (ok) {
        ASSERT_TRUE(client_.StatSync());
        EXPECT_EQ(client_.MsgCount(), 1);
      }
      client_.QuitSync();
      EXPECT_FALSE(client_.Connected()) << c.name;
    }
  }
}

TEST_F(Pop3MailboxLogin, SwitchedOffMethodIsRefused) {
  MailboxOptions options;
  options.user = "tim";
  options.allowCramSha1 = false;
  options.timestamp.clear();
  MailboxPop3Server server(options);
  client_.SetHost(MailboxPop3Server::Host());
  client_.SetPort(server.PortText());
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.HasTimestamp());
  client_.SetAuthType(Pop3AuthType::popAuthCramSHA1);
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Unsupported authentication mechanism.");
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  EXPECT_TRUE(client_.AuthSync());
  client_.QuitSync();
}

}  // namespace
}  // namespace corvel
