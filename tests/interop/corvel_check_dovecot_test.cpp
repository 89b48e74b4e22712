// `corvel check` against a real Dovecot: the first check finds the login
// method and reports what is in the mailbox; messages delivered into the
// maildir between checks are reported once each, their encoded-word headers
// decoded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "accounts/account_file.h"
#include "console/commands.h"
#include "support/dovecot.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kUser[] = "reader";
constexpr char kPassword[] = "check-me";

// Maildir keeps LF line ends; on the wire each line gains a CR.
std::string WireSize(std::string_view text) {
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return std::to_string(text.size() + lines);
}

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

class CorvelCheckDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dovecot_ = StartDovecotWithUsers(DovecotOptions(), {{kUser, kPassword}}, whyNot);
    RequireDovecot(dovecot_.get(), whyNot);
  }

  CommandRun Corvel(std::vector<std::string> arguments) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    std::ostringstream out;
    std::ostringstream err;
    CommandRun run;
    run.status = console::Main(arguments, environment, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  void Deliver(const std::string& name, const std::string& bytes) {
    std::string error;
    ASSERT_TRUE(dovecot_->Deliver(kUser, name, bytes, error)) << error;
  }

  WorkingFolder folder_;
  std::unique_ptr<DovecotServer> dovecot_;
};

TEST_F(CorvelCheckDovecot, ReportsEachDeliveredMessageOnceWithDecodedHeaders) {
  const std::string first =
      "From: Ann <ann@example.org>\nSubject: Hello\nDate: Mon, 7 Dec 2026 08:00:00 +0000\n\n"
      "body\n";
  Deliver("1765094400.M1P1.host", first);
  ASSERT_EQ(Corvel({"accounts", "add", "--name", "Dovecot", "--server", "127.0.0.1", "--port",
                    dovecot_->PortText(), "--user", kUser, "--password", kPassword, "--leave-mail"})
                .status,
            0);

  CommandRun run = Corvel({"check", "--all-mail"});
  ASSERT_EQ(run.status, 0) << run.err << dovecot_->LogText();
  EXPECT_THAT(run.err, HasSubstr("/Dovecot] Trying APOP.\n"));
  EXPECT_THAT(run.err, HasSubstr("/Dovecot] APOP worked!\n"));
  EXPECT_THAT(run.err, HasSubstr("/Dovecot] Logging in using APOP...\n"));
  EXPECT_THAT(run.err, HasSubstr("/Dovecot] 1 new mails! (" + WireSize(first) + " bytes)\n"));
  EXPECT_EQ(run.out, "Dovecot\tAnn <ann@example.org>\tHello\tMon, 7 Dec 2026 08:00:00 +0000\t" +
                         WireSize(first) + "\t1765094400.M1P1.host\n");
  {
    AccountFile file;
    file.Open();
    EXPECT_EQ(file.ReadRecord(0).PlainAuthMethod(), "APOP");
  }

  // Nothing new: no rows, and the seen file keeps the identifier.
  run = Corvel({"check", "--all-mail"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, HasSubstr("/Dovecot] No messages, quitting...\n"));
  EXPECT_THAT(run.err, Not(HasSubstr("Trying APOP.")));

  const std::string second =
      "From: =?ISO-8859-1?Q?Ren=E9e?= <renee@example.org>\n"
      "Subject: =?iso-8859-1?q?Gr=FC=DFe?= =?ISO-8859-1?B?YXVz?=\n"
      "Date: d2\n\nbody\n";
  const std::string third = "From: Bob <bob@example.org>\nSubject: Third\nDate: d3\n\nx\n";
  Deliver("1765094500.M2P2.host", second);
  Deliver("1765094600.M3P3.host", third);
  run = Corvel({"check", "--all-mail"});
  ASSERT_EQ(run.status, 0) << run.err;
  // The terminal (the C locale is taken as UTF-8) shows what the desktop
  // shows: the words decoded to UTF-8, the blank between two encoded words
  // dropped (RFC 2047).
  EXPECT_THAT(run.out, HasSubstr("Dovecot\tRen\xC3\xA9"
                                 "e <renee@example.org>\tGr\xC3\xBC\xC3\x9F"
                                 "eaus\td2\t" +
                                 WireSize(second) + "\t1765094500.M2P2.host\n"));
  EXPECT_THAT(run.out, HasSubstr("Dovecot\tBob <bob@example.org>\tThird\td3\t" + WireSize(third) +
                                 "\t1765094600.M3P3.host\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("1765094400.M1P1.host")));
  EXPECT_THAT(run.err, HasSubstr("/Dovecot] 2 new mails! ("));

  run = Corvel({"check"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
}

TEST_F(CorvelCheckDovecot, AWrongPasswordIsAFailedCheck) {
  ASSERT_EQ(Corvel({"accounts", "add", "--name", "Wrong", "--server", "127.0.0.1", "--port",
                    dovecot_->PortText(), "--user", kUser, "--password", "not-it"})
                .status,
            0);
  const CommandRun run = Corvel({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("/Wrong] Could not log in!\n"));
}

}  // namespace
}  // namespace corvel::test
