// XOAUTH2 and OAUTHBEARER against a real Dovecot whose passwd-file holds the
// expected access token as the user's password (Dovecot hands the bearer
// token to its password database as the password): a good token logs in, a
// wrong one is refused with Dovecot's JSON error challenge.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/posix/poll_event_loop.h"
#include "pop3/sync_pop3_client.h"
#include "support/dovecot.h"

namespace corvel {
namespace {

constexpr char kUser[] = "tim@example.com";
constexpr char kToken[] = "ya29.a0-good-token";

class DovecotOAuth : public ::testing::TestWithParam<Pop3AuthType> {
 protected:
  static void SetUpTestSuite() {
    test::DovecotOptions options;
    options.authMechanisms = "plain xoauth2 oauthbearer";
    dovecot_ = test::StartDovecotWithUsers(options, {{kUser, kToken}}, whyNot_).release();
  }

  static void TearDownTestSuite() {
    delete dovecot_;
    dovecot_ = nullptr;
  }

  void SetUp() override {
    test::RequireDovecot(dovecot_, whyNot_);
    if (dovecot_ == nullptr) return;
    client_.SetHost(test::DovecotServer::Host());
    client_.SetPort(dovecot_->PortText());
    client_.SetUserName(kUser);
    client_.SetAuthType(GetParam());
  }

  static inline test::DovecotServer* dovecot_ = nullptr;
  static inline std::string whyNot_;
  PollEventLoop loop_;
  SyncPop3Client client_{loop_};
};

TEST_P(DovecotOAuth, GoodTokenLogsIn) {
  client_.SetPassWord(kToken);
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.AuthSync()) << client_.ErrorMessage() << "\n" << dovecot_->LogText();
  EXPECT_TRUE(client_.StatSync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.QuitSync());
}

TEST_P(DovecotOAuth, WrongTokenIsRefusedWithTheJsonChallenge) {
  client_.SetPassWord("ya29.a0-expired");
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3WaitingUser);
  EXPECT_NE(client_.AuthErrorChallenge().find("\"status\""), std::string::npos)
      << client_.AuthErrorChallenge();
  EXPECT_EQ(client_.ErrorMessage().rfind("-ERR", 0), 0u) << client_.ErrorMessage();
  EXPECT_TRUE(client_.QuitSync());
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, DovecotOAuth,
                         ::testing::Values(Pop3AuthType::popAuthXOAuth2,
                                           Pop3AuthType::popAuthOAuthBearer),
                         [](const auto& info) {
                           return info.param == Pop3AuthType::popAuthXOAuth2 ? "XOAuth2"
                                                                             : "OAuthBearer";
                         });

}  // namespace
}  // namespace corvel
