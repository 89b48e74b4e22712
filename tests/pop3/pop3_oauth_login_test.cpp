// The OAuth 2.0 bearer-token logins XOAUTH2 and OAUTHBEARER: their client
// responses, and the exchanges byte for byte, refused tokens included.
#include <gtest/gtest.h>

#include <string>

#include "codec/base64.h"
#include "pop3/pop3_auth.h"
#include "pop3/pop3_client.h"
#include "pop3_test_fixture.h"

namespace corvel {
namespace {

using PS = Pop3ProtocolState;
using RQ = Pop3Request;

using Pop3OAuth = Pop3ClientTest;

// The example of the XOAUTH2 documentation, and RFC 7628's section 4.1.
TEST(Pop3OAuthResponse, ReproducesThePublishedExamples) {
  EXPECT_EQ(EncodeBase64(XOAuth2Response("someuser@example.com",
                                         "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg")),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNr"
            "QmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
  EXPECT_EQ(OAuthBearerResponse("user@example.com", "server.example.com", "143",
                                "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg=="),
            "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
            "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
}

TEST(Pop3OAuthResponse, EscapesTheUserNameAndLeavesOutAPortName) {
  EXPECT_EQ(OAuthBearerResponse("a,b=c", "h", "pop3", "t"),
            "n,a=a=2Cb=3Dc,\x01host=h\x01"
            "auth=Bearer t\x01\x01");
}

constexpr char kTokenLine[] = "dXNlcj10aW0BYXV0aD1CZWFyZXIgdG9rAQE=";  // user=tim, token tok
constexpr char kErrorChallenge[] =
    "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJtYWlsIn0=";

TEST_F(Pop3OAuth, XOAuth2SendsTheTokenAfterThePromptAndNeverShowsIt) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH XOAUTH2")
                                .Send("+ ")
                                .Expect(kTokenLine)
                                .Send("+OK Logged in."));
  Use(server);
  client_.SetPassWord(" tok\r\n");  // a token command's line, as read
  client_.SetAuthType(Pop3AuthType::popAuthXOAuth2);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.AuthSync()) << client_.ErrorMessage();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
  EXPECT_EQ(done_.back().rqType, RQ::pop3Pass);
  EXPECT_EQ(server.Transcript(), std::string("AUTH XOAUTH2\r\n") + kTokenLine + "\r\n");
  EXPECT_EQ(client_.AuthErrorChallenge(), "");
  for (const std::string& line : display_) EXPECT_EQ(line.find(kTokenLine), std::string::npos);
  EXPECT_EQ(display_[3], "> (bearer token, 36 characters)");
  ExpectNoFailures(server);
}

TEST_F(Pop3OAuth, OAuthBearerNamesHostAndPort) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK").Expect("AUTH OAUTHBEARER").Send("+").ReceiveLine().Send("+OK"));
  Use(server);
  client_.SetPassWord("tok");
  client_.SetAuthType(Pop3AuthType::popAuthOAuthBearer);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.AuthSync()) << client_.ErrorMessage();
  const std::string response = "n,a=tim,\x01host=127.0.0.1\x01port=" + server.PortText() + "\x01" +
                               "auth=Bearer tok\x01\x01";
  EXPECT_EQ(server.Transcript(), "AUTH OAUTHBEARER\r\n" + EncodeBase64(response) + "\r\n");
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
}

// A refused token: the server's JSON error comes as a continuation, which
// each mechanism answers in its own way before the server's "-ERR".
TEST_F(Pop3OAuth, RefusedTokenAnswersTheErrorChallengeAndKeepsItsText) {
  struct Case {
    Pop3AuthType type;
    const char* command;
    const char* answer;
  };
  for (const Case& c : {Case{Pop3AuthType::popAuthXOAuth2, "AUTH XOAUTH2", ""},
                        Case{Pop3AuthType::popAuthOAuthBearer, "AUTH OAUTHBEARER", "AQ=="}}) {
    SCOPED_TRACE(c.command);
    ScriptedPop3Server server(Pop3Script()
                                  .Send("+OK")
                                  .Expect(c.command)
                                  .Send("+ ")
                                  .ReceiveLine()
                                  .Send(kErrorChallenge)
                                  .Expect(c.answer)
                                  .Send("-ERR [AUTH] Authentication failed.")
                                  .Expect("QUIT")
                                  .Send("+OK")
                                  .Close());
    SyncPop3Client client(loop_);
    client.SetHost(ScriptedPop3Server::Host());
    client.SetPort(server.PortText());
    client.SetUserName("tim");
    client.SetPassWord("expired");
    client.SetAuthType(c.type);
    ASSERT_TRUE(client.ConnectSync());
    EXPECT_FALSE(client.AuthSync());
    EXPECT_EQ(client.RequestResult(), 500);
    EXPECT_EQ(client.ProtocolState(), PS::pop3WaitingUser);
    EXPECT_EQ(client.ErrorMessage(), "-ERR [AUTH] Authentication failed.");
    EXPECT_EQ(client.AuthErrorChallenge(), R"({"status":"401","schemes":"bearer","scope":"mail"})");
    EXPECT_TRUE(client.QuitSync());
    ExpectNoFailures(server);
  }
}

TEST_F(Pop3OAuth, RefusedMechanismSendsNoToken) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK").Expect("AUTH XOAUTH2").Send("-ERR unknown mechanism").StaySilent());
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthXOAuth2);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.AuthSync());
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_.back().rqType, RQ::pop3Auth);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR unknown mechanism");
  EXPECT_EQ(server.Transcript(), "AUTH XOAUTH2\r\n");
}

// A server that goes on challenging after the refusal would take every
// later command for another answer: the login fails and the connection goes.
TEST_F(Pop3OAuth, ChallengeAfterTheRefusalDropsTheConnection) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("AUTH XOAUTH2")
                                .Send("+ ")
                                .ReceiveLine()
                                .Send(kErrorChallenge)
                                .Expect("")
                                .Send("+ more?")
                                .StaySilent());
  Use(server);
  client_.SetAuthType(Pop3AuthType::popAuthXOAuth2);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_TRUE(Pump([&] { return !client_.Connected(); }));
  ExpectNoFailures(server);
}

TEST_F(Pop3OAuth, RefusedAfterTheLoginLikeEveryAuth) {
  ScriptedPop3Server server(LoggedInScript().StaySilent());
  Use(server);
  LogIn();
  client_.SetAuthType(Pop3AuthType::popAuthOAuthBearer);
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR AUTH command invalid now");
  EXPECT_EQ(server.Transcript(), kLoginTranscript);
}

}  // namespace
}  // namespace corvel
