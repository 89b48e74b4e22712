// `corvel check` of IMAP accounts against a real Dovecot: the folders an
// account names (one with non-ASCII letters) or a pattern finds (never
// \Junk or \Trash), each message reported once, a renumbered folder taken
// as seen with its log line, no \Seen flag set by any check; and an OAuth2
// account's token from its command over TLS, a wrong one refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "console/commands.h"
#include "support/dovecot.h"
#include "support/tls_test_pki.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kEconomy[] =
    "\xC3\x89"
    "conomie";

class CorvelImapDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    DovecotOptions options;
    options.imap = true;
    dovecot_ = StartDovecotWithUsers(options, {{"tim", "secret"}}, whyNot);
    for (const std::string mailbox : {"Lists/dev", kEconomy, "Junk"}) {
      if (dovecot_ && !dovecot_->Doveadm({"mailbox", "create", "-u", "tim", mailbox}, "", whyNot)) {
        dovecot_.reset();
      }
    }
    RequireDovecot(dovecot_.get(), whyNot);
  }

  void Save(const std::string& mailbox, const std::string& subject) {
    std::string error;
    ASSERT_TRUE(dovecot_->Doveadm(
        {"save", "-u", "tim", "-m", mailbox},
        "From: Ann <ann@example.org>\nSubject: " + subject + "\nDate: d\n\nbody\n", error))
        << error;
  }

  std::string Run(std::vector<std::string> arguments, std::string* log = nullptr) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    std::ostringstream out, err;
    const int status = console::Main(arguments, environment, out, err);
    EXPECT_EQ(status, 0) << err.str() << dovecot_->LogText();
    if (log != nullptr) *log = err.str();
    return out.str();
  }

  // The subjects of the rows `check --all-mail` printed, with their
  // identifiers' folders.
  static std::vector<std::string> Rows(const std::string& out) {
    std::vector<std::string> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> columns;
      std::istringstream fields(line);
      for (std::string field; std::getline(fields, field, '\t');) columns.push_back(field);
      if (columns.size() != 6) continue;
      rows.push_back(columns[2] + " @ " + columns[5].substr(0, columns[5].find('/')));
    }
    return rows;
  }

  std::string Flags() {
    std::string error;
    return dovecot_->Doveadm({"fetch", "-u", "tim", "flags", "mailbox", "*", "all"}, "", error)
        .value_or(error);
  }

  WorkingFolder folder_;
  std::unique_ptr<DovecotServer> dovecot_;
};

TEST_F(CorvelImapDovecot, ReportsTheNamedFoldersMessagesOnceAndNothingOfARenumberedFolder) {
  Save("INBOX", "One");
  Save("Lists/dev", "Two");
  Save(kEconomy, "Three");
  Save("Junk", "Spam");
  Run({"accounts", "add", "--name", "Mail", "--server", "127.0.0.1", "--port",
       std::to_string(dovecot_->ImapPort()), "--user", "tim", "--password", "secret", "--protocol",
       "imap", "--folders", std::string("INBOX,Lists/dev,") + kEconomy});
  // The first check finds the login method, then looks for mail.
  std::string log;
  EXPECT_THAT(
      Rows(Run({"check", "--all-mail"}, &log)),
      ::testing::ElementsAre("One @ INBOX", "Two @ Lists", std::string("Three @ ") + kEconomy));
  EXPECT_THAT(log, HasSubstr("/Mail] CramMD5 worked!\n"));
  EXPECT_THAT(log, HasSubstr("/Mail] 3 new mails! ("));
  EXPECT_EQ(Run({"check", "--all-mail"}), "");

  Save(kEconomy, "Four");
  EXPECT_THAT(Rows(Run({"check", "--all-mail"})),
              ::testing::ElementsAre(std::string("Four @ ") + kEconomy));

  // INBOX renumbered: what is in it is not news.
  std::string error;
  ASSERT_TRUE(dovecot_->Doveadm(
      {"mailbox", "update", "-u", "tim", "--uid-validity", "4242", "INBOX"}, "", error))
      << error;
  EXPECT_EQ(Run({"check", "--all-mail"}, &log), "");
  EXPECT_THAT(log, HasSubstr("/Mail] The UIDVALIDITY of INBOX changed from "));
  EXPECT_THAT(log, HasSubstr(" to 4242: its messages are taken as seen\n"));
  EXPECT_THAT(Flags(), Not(HasSubstr("\\Seen")));
}

TEST_F(CorvelImapDovecot, APatternWatchesEveryFolderButJunkAndTrash) {
  Save("Lists/dev", "Two");
  Save("Junk", "Spam");
  Run({"accounts", "add", "--name", "All", "--server", "127.0.0.1", "--port",
       std::to_string(dovecot_->ImapPort()), "--user", "tim", "--password", "secret", "--protocol",
       "imap", "--folders", "*"});
  EXPECT_THAT(Rows(Run({"check", "--all-mail"})), ::testing::ElementsAre("Two @ Lists"));
  EXPECT_THAT(Flags(), Not(HasSubstr("\\Seen")));
}

class CorvelImapOAuthDovecot : public CorvelImapDovecot {
 protected:
  void SetUp() override {
    trust_ = pki_.TrustOnly();
    const CertFiles files = pki_.Issue("good");
    DovecotOptions options;
    options.imap = true;
    options.sslCertFile = files.cert;
    options.sslKeyFile = files.key;
    options.authMechanisms = "plain xoauth2 oauthbearer";
    std::string whyNot;
    // Dovecot takes the user's password for the token it expects.
    dovecot_ = StartDovecotWithUsers(options, {{"tim", "ya29.good"}}, whyNot);
    RequireDovecot(dovecot_.get(), whyNot);
  }

  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
};

TEST_F(CorvelImapOAuthDovecot, LogsInWithTheCommandsTokenAndTellsARefusedOne) {
  Save("INBOX", "Token");
  Run({"accounts", "add", "--name", "Work", "--server", "localhost", "--port",
       std::to_string(dovecot_->ImapsPort()), "--user", "tim", "--security", "tls", "--protocol",
       "imap", "--oauth-command", "printf ya29.good"});
  std::string log;
  EXPECT_THAT(Rows(Run({"check", "--all-mail"}, &log)), ::testing::ElementsAre("Token @ INBOX"));
  EXPECT_THAT(log, HasSubstr("/Work] OAUTHBEARER worked!\n"));
  Run({"accounts", "set", "Work", "--oauth-command", "printf ya29.expired"});
  console::Environment environment;
  environment.configFolder = folder_.Path() / "config";
  std::ostringstream out, err;
  EXPECT_EQ(console::Main({"check"}, environment, out, err), 1);
  EXPECT_THAT(err.str(), HasSubstr("/Work] OAUTHBEARER login failed!\n"));
  EXPECT_THAT(err.str(), HasSubstr("corvel: Work: the server refused the OAuth2 token "
                                   "(OAUTHBEARER): NO"));
}

}  // namespace
}  // namespace corvel::test
