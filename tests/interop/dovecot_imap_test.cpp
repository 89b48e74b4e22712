// The IMAP client against a real Dovecot on loopback: plain text, STARTTLS
// and TLS from the first byte; LOGIN, PLAIN, CRAM-MD5, and XOAUTH2 and
// OAUTHBEARER checked by the OAuth2 test server's introspection; mailboxes
// named with "/" and with non-ASCII letters; a message delivered while the
// client idles; a UIDVALIDITY change; and no \Seen flag set by any of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "imap/sync_imap_client.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/oauth_test_server.h"
#include "support/tls_test_pki.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using AM = ImapAuthMechanism;

constexpr char kOAuthUser[] = "ann@example.com";
constexpr char kEconomy[] =
    "\xC3\x89"
    "conomie";

std::string Message(const std::string& subject) {
  return "From: Ann <ann@example.org>\nSubject: " + subject +
         "\nDate: Mon, 1 Dec 2025 10:00:00 +0000\n\nbody\n";
}

class DovecotImap : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki();
    files_ = new CertFiles(pki_->Issue("good"));
    oauth_ = new OAuthTestServer();
    oauth_->SetUser(kOAuthUser);
    DovecotOptions options;
    options.imap = true;
    options.sslCertFile = files_->cert;
    options.sslKeyFile = files_->key;
    options.authMechanisms = "plain login cram-md5 xoauth2 oauthbearer";
    options.oauth2IntrospectionUrl = oauth_->IntrospectionUrl();
    dovecot_ = StartDovecotWithUsers(options,
                                     {{"tim", "secret"},
                                      {"idler", "secret"},
                                      {"renumbered", "secret"},
                                      {kOAuthUser, "unused"}},
                                     whyNot_)
                   .release();
    if (dovecot_ == nullptr) return;
    // Two messages in tim's INBOX, one in each of two more mailboxes.
    const std::vector<std::vector<std::string>> steps = {
        {"save", "-u", "tim", "-m", "INBOX"},
        {"save", "-u", "tim", "-m", "INBOX"},
        {"mailbox", "create", "-u", "tim", "Lists/dev"},
        {"mailbox", "create", "-u", "tim", kEconomy},
        {"save", "-u", "tim", "-m", "Lists/dev"},
        {"save", "-u", "tim", "-m", kEconomy},
        {"save", "-u", "renumbered", "-m", "INBOX"},
    };
    for (const auto& step : steps) {
      const std::string subject = "Hi in " + step.back();
      if (!dovecot_->Doveadm(step, step[0] == "save" ? Message(subject) : "", whyNot_)) {
        delete dovecot_;
        dovecot_ = nullptr;
        return;
      }
    }
  }

  static void TearDownTestSuite() {
    delete dovecot_;
    dovecot_ = nullptr;
    delete oauth_;
    delete files_;
    delete pki_;
  }

  void SetUp() override {
    trust_ = pki_->TrustOnly();
    RequireDovecot(dovecot_, whyNot_);
    if (dovecot_ == nullptr) return;
    client_.SetHost("localhost");
    client_.SetPort(std::to_string(dovecot_->ImapPort()));
    client_.SetUserName("tim");
    client_.SetPassWord("secret");
    client_.OnFetched = [this](const ImapFetchedMessage& m) { fetched_.push_back(m); };
  }

  void LogIn(AM mechanism = AM::imapAuthLogin) {
    ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
    ASSERT_TRUE(client_.LoginSync(mechanism)) << client_.ErrorMessage() << dovecot_->LogText();
  }

  // Every message's flags in the user's mailbox, as Dovecot keeps them.
  static std::string Flags(const std::string& user, const std::string& mailbox) {
    std::string error;
    return dovecot_->Doveadm({"fetch", "-u", user, "flags", "mailbox", mailbox, "all"}, "", error)
        .value_or("doveadm: " + error);
  }

  static inline TestPki* pki_ = nullptr;
  static inline CertFiles* files_ = nullptr;
  static inline OAuthTestServer* oauth_ = nullptr;
  static inline DovecotServer* dovecot_ = nullptr;
  static inline std::string whyNot_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  PollEventLoop loop_;
  SyncImapClient client_{loop_};
  std::vector<ImapFetchedMessage> fetched_;
};

struct Connection {
  const char* name;
  bool tlsPort;
  bool startTls;
  AM mechanism;
};

class DovecotImapConnection : public DovecotImap,
                              public ::testing::WithParamInterface<Connection> {};

TEST_P(DovecotImapConnection, ReadsTheInboxWithoutMarkingAnythingSeen) {
  const Connection& c = GetParam();
  if (c.tlsPort) {
    client_.SetPort(std::to_string(dovecot_->ImapsPort()));
    client_.SetTlsMode(SocketTlsMode::tlsImplicit);
  }
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  if (c.startTls) {
    ASSERT_TRUE(client_.HasCapability("STARTTLS"));
    ASSERT_TRUE(client_.StartTlsSync()) << client_.ErrorMessage();
  }
  EXPECT_EQ(client_.TlsActive(), c.tlsPort || c.startTls);
  ASSERT_TRUE(client_.LoginSync(c.mechanism)) << client_.ErrorMessage() << dovecot_->LogText();
  ASSERT_TRUE(client_.ExamineSync("INBOX")) << client_.ErrorMessage();
  EXPECT_EQ(client_.Exists(), 2u);
  EXPECT_NE(client_.UidValidity(), 0u);
  ASSERT_TRUE(client_.SearchAllUidsSync()) << client_.ErrorMessage();
  ASSERT_EQ(client_.Uids().size(), 2u);
  ASSERT_TRUE(client_.FetchHeadersSync(client_.Uids())) << client_.ErrorMessage();
  ASSERT_EQ(fetched_.size(), 2u);
  EXPECT_THAT(fetched_[1].header, HasSubstr("Subject: Hi in INBOX\r\n"));
  // The message as Dovecot keeps it, each LF counted as CR LF.
  const std::string message = Message("Hi in INBOX");
  EXPECT_EQ(fetched_[1].size, message.size() + std::count(message.begin(), message.end(), '\n'));
  EXPECT_TRUE(client_.LogoutSync());
  EXPECT_THAT(Flags("tim", "INBOX"), Not(HasSubstr("\\Seen")));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DovecotImapConnection,
    ::testing::Values(Connection{"PlainLogin", false, false, AM::imapAuthLogin},
                      Connection{"StartTlsPlain", false, true, AM::imapAuthPlain},
                      Connection{"TlsCramMd5", true, false, AM::imapAuthCramMD5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DovecotImap, OpensMailboxesNamedWithSlashesAndNonAsciiLetters) {
  LogIn();
  ASSERT_TRUE(client_.ListSync("*")) << client_.ErrorMessage();
  std::vector<std::string> names;
  for (const ImapListEntry& entry : client_.ListEntries()) names.push_back(entry.name);
  EXPECT_THAT(names, ::testing::IsSupersetOf({"INBOX", "Lists/dev", kEconomy}));
  for (const std::string mailbox : {"Lists/dev", kEconomy}) {
    fetched_.clear();
    ASSERT_TRUE(client_.ExamineSync(mailbox)) << client_.ErrorMessage();
    EXPECT_EQ(client_.Exists(), 1u);
    ASSERT_TRUE(client_.SearchAllUidsSync());
    ASSERT_TRUE(client_.FetchHeadersSync(client_.Uids()));
    ASSERT_EQ(fetched_.size(), 1u);
    EXPECT_THAT(fetched_[0].header, HasSubstr("Subject: Hi in " + mailbox));
    EXPECT_THAT(Flags("tim", mailbox), Not(HasSubstr("\\Seen")));
  }
  EXPECT_FALSE(client_.ExamineSync("Nowhere"));
  EXPECT_EQ(client_.RequestResult(), kImapRefused);
}

TEST_F(DovecotImap, TellsOfAMessageDeliveredWhileIdling) {
  client_.SetUserName("idler");
  LogIn();
  ASSERT_TRUE(client_.HasCapability("IDLE"));
  ASSERT_TRUE(client_.ExamineSync("INBOX"));
  EXPECT_EQ(client_.Exists(), 0u);
  std::vector<std::uint32_t> told;
  client_.OnExists = [&](std::uint32_t exists) { told.push_back(exists); };
  client_.Idle();
  ASSERT_TRUE(WaitFor(loop_, [&] { return client_.State() == ImapEngineState::imapIdling; }));
  std::string error;
  ASSERT_TRUE(dovecot_->Doveadm({"save", "-u", "idler", "-m", "INBOX"}, Message("Now"), error))
      << error;
  ASSERT_TRUE(WaitFor(loop_, [&] { return !told.empty(); })) << dovecot_->LogText();
  EXPECT_EQ(told, (std::vector<std::uint32_t>{1}));
  client_.Done();
  EXPECT_TRUE(client_.WaitForRequest()) << client_.ErrorMessage();
  EXPECT_EQ(told, (std::vector<std::uint32_t>{1}));
}

TEST_F(DovecotImap, SeesTheMailboxRenumbered) {
  client_.SetUserName("renumbered");
  LogIn();
  ASSERT_TRUE(client_.ExamineSync("INBOX"));
  const std::uint32_t before = client_.UidValidity();
  EXPECT_TRUE(client_.LogoutSync());
  std::string error;
  ASSERT_TRUE(dovecot_->Doveadm({"mailbox", "update", "-u", "renumbered", "--uid-validity",
                                 std::to_string(before + 1000), "INBOX"},
                                "", error))
      << error;
  LogIn();
  ASSERT_TRUE(client_.ExamineSync("INBOX"));
  EXPECT_EQ(client_.UidValidity(), before + 1000);
}

class DovecotImapOAuth : public DovecotImap, public ::testing::WithParamInterface<AM> {};

TEST_P(DovecotImapOAuth, LogsInWithAGoodTokenAndTellsWhyABadOneFailed) {
  client_.SetPort(std::to_string(dovecot_->ImapsPort()));
  client_.SetTlsMode(SocketTlsMode::tlsImplicit);
  client_.SetUserName(kOAuthUser);
  client_.SetPassWord(oauth_->IssueAccessToken());
  LogIn(GetParam());
  EXPECT_TRUE(client_.ExamineSync("INBOX")) << client_.ErrorMessage();
  EXPECT_TRUE(client_.LogoutSync());
  client_.SetPassWord("not-a-token");
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_FALSE(client_.LoginSync(GetParam()));
  EXPECT_EQ(client_.RequestResult(), kImapRefused);
  EXPECT_THAT(client_.AuthErrorChallenge(), HasSubstr("\"status\""));
  EXPECT_THAT(client_.ErrorMessage(), HasSubstr("NO"));
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, DovecotImapOAuth,
                         ::testing::Values(AM::imapAuthXOAuth2, AM::imapAuthOAuthBearer),
                         [](const auto& info) {
                           return info.param == AM::imapAuthXOAuth2 ? "XOAuth2" : "OAuthBearer";
                         });

}  // namespace
}  // namespace corvel::test
