// The POP3 client against a real Dovecot, started privately for these tests:
// every login method Dovecot offers, the refusal of CRAM-SHA1 (which Dovecot
// does not have), and STAT, UIDL n, LIST n, TOP n 1 and QUIT on messages
// delivered into the maildir with known sizes and UIDLs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "net/posix/poll_event_loop.h"
#include "pop3/sync_pop3_client.h"
#include "support/dovecot.h"

namespace corvel {
namespace {

constexpr char kUser[] = "tim";
constexpr char kPassword[] = "tanstaaf-dovecot";

// Maildir keeps LF line ends; POP3 counts each as CR LF, so a message's
// size on the wire is its bytes plus one per line.
constexpr char kFirst[] =
    "From: Ann <ann@example.com>\n"
    "To: tim@example.com\n"
    "Subject: Hello\n"
    " World\n"
    "Date: Mon, 7 Dec 2026 08:00:00 +0000\n"
    "Message-ID: <first@example.com>\n"
    "\n"
    "first body line\n"
    "second body line\n";
constexpr char kSecond[] =
    "From: Bob <bob@example.com>\n"
    "Subject: =?ISO-8859-1?Q?caf=E9?=\n"
    "\n"
    ".a line that must be dot-stuffed\n";
constexpr char kFirstName[] = "1765094400.M1P1.corvel";
constexpr char kSecondName[] = "1765094401.M2P2.corvel";

std::int32_t WireSize(const std::string& text) {
  std::int32_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return static_cast<std::int32_t>(text.size()) + lines;
}

class DovecotPop3 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dovecot_ = test::StartDovecotWithUsers(test::DovecotOptions(), {{kUser, kPassword}}, whyNot_)
                   .release();
    std::string error;
    if (dovecot_ != nullptr && (!dovecot_->Deliver(kUser, kFirstName, kFirst, error) ||
                                !dovecot_->Deliver(kUser, kSecondName, kSecond, error))) {
      whyNot_ = error;
      delete dovecot_;
      dovecot_ = nullptr;
    }
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
    client_.SetPassWord(kPassword);
  }

  // STAT, UIDL 1, LIST 2, TOP 1 1 and QUIT on a logged-in client.
  void ReadMailbox() {
    ASSERT_TRUE(client_.StatSync()) << client_.ErrorMessage();
    EXPECT_EQ(client_.MsgCount(), 2);
    EXPECT_EQ(client_.MsgSize(), WireSize(kFirst) + WireSize(kSecond));

    client_.SetMsgNum(1);
    ASSERT_TRUE(client_.UidlSync()) << client_.ErrorMessage();
    EXPECT_EQ(client_.MsgNum(), 1);
    EXPECT_EQ(client_.MsgUidl(), kFirstName);

    client_.SetMsgNum(2);
    ASSERT_TRUE(client_.ListSync()) << client_.ErrorMessage();
    EXPECT_EQ(client_.MsgNum(), 2);
    EXPECT_EQ(client_.MsgSize(), WireSize(kSecond));

    std::vector<std::string> lines;
    client_.OnMessageLine = [&] { lines.push_back(client_.LastResponse()); };
    client_.SetMsgNum(1);
    client_.SetMsgLines(1);
    ASSERT_TRUE(client_.TopSync()) << client_.ErrorMessage();
    client_.OnMessageLine = nullptr;
    EXPECT_EQ(client_.HeaderFrom(), "Ann <ann@example.com>");
    EXPECT_EQ(client_.HeaderSubject(), "Hello World");
    EXPECT_EQ(client_.HeaderDate(), "Mon, 7 Dec 2026 08:00:00 +0000");
    EXPECT_EQ(client_.HeaderMessageId(), "<first@example.com>");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "first body line");  // one body line only

    EXPECT_TRUE(client_.QuitSync()) << client_.ErrorMessage();
    EXPECT_FALSE(client_.Connected());
    EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3Disconnected);
  }

  static test::DovecotServer* dovecot_;
  static std::string whyNot_;
  PollEventLoop loop_;
  SyncPop3Client client_{loop_};
};

test::DovecotServer* DovecotPop3::dovecot_ = nullptr;
std::string DovecotPop3::whyNot_;

TEST_F(DovecotPop3, ApopLogsInWithTheGreetingTimestamp) {
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.HasTimestamp());
  ASSERT_TRUE(client_.APopSync()) << client_.ErrorMessage();
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3Transaction);
  ReadMailbox();
}

TEST_F(DovecotPop3, CramMd5LogsIn) {
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  ASSERT_TRUE(client_.AuthSync()) << client_.ErrorMessage();
  ReadMailbox();
}

TEST_F(DovecotPop3, AuthLoginLogsIn) {
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  client_.SetAuthType(Pop3AuthType::popAuthLogin);
  ASSERT_TRUE(client_.AuthSync()) << client_.ErrorMessage();
  ReadMailbox();
}

TEST_F(DovecotPop3, UserPassLogsIn) {
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.UserSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.PassSync()) << client_.ErrorMessage();
  ReadMailbox();
}

TEST_F(DovecotPop3, CramSha1IsRefusedAndTheConnectionStaysUsable) {
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  client_.SetAuthType(Pop3AuthType::popAuthCramSHA1);
  EXPECT_FALSE(client_.AuthSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR [AUTH] Unsupported authentication mechanism.");
  EXPECT_TRUE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3WaitingUser);
  client_.SetAuthType(Pop3AuthType::popAuthCramMD5);
  ASSERT_TRUE(client_.AuthSync()) << client_.ErrorMessage();
  ReadMailbox();
}

TEST_F(DovecotPop3, WrongPasswordIsRefused) {
  client_.SetPassWord("not the password");
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_FALSE(client_.APopSync());
  EXPECT_EQ(client_.ErrorMessage().rfind("-ERR ", 0), 0u) << client_.ErrorMessage();
  EXPECT_EQ(client_.ProtocolState(), Pop3ProtocolState::pop3WaitingUser);
  EXPECT_TRUE(client_.QuitSync());
}

TEST_F(DovecotPop3, MessageDeliveredBetweenSessionsIsSeenNext) {
  std::string error;
  ASSERT_TRUE(dovecot_->AddUser("ann", "ann-pass", error)) << error;
  client_.SetUserName("ann");
  client_.SetPassWord("ann-pass");
  ASSERT_TRUE(client_.OpenSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.StatSync());
  EXPECT_EQ(client_.MsgCount(), 0);
  ASSERT_TRUE(client_.QuitSync());

  ASSERT_TRUE(dovecot_->Deliver("ann", "1765094500.M9P9.corvel", "Subject: new\n\nx\n", error))
      << error;
  ASSERT_TRUE(client_.OpenSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.StatSync());
  EXPECT_EQ(client_.MsgCount(), 1);
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.UidlSync());
  EXPECT_EQ(client_.MsgUidl(), "1765094500.M9P9.corvel");
  ASSERT_TRUE(client_.QuitSync());
}

}  // namespace
}  // namespace corvel
