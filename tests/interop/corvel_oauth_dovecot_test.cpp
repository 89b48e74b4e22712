// `corvel check` with OAuth2 accounts against a real Dovecot over TLS that
// takes XOAUTH2 and OAUTHBEARER, its passwd-file holding the expected access
// token as the user's password: the token from a token command logs in and
// the mail is found; a wrong token fails the check with Dovecot's reason in
// the log and in the exit status; an account without TLS is never connected.
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

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kUser[] = "tim@example.com";
constexpr char kToken[] = "ya29.a0AfH6SM-good";

class CorvelOAuthDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    trust_ = pki_.TrustOnly();
    files_ = pki_.Issue("good");
    DovecotOptions options;
    options.sslCertFile = files_.cert;
    options.sslKeyFile = files_.key;
    options.authMechanisms = "plain xoauth2 oauthbearer";
    std::string whyNot;
    dovecot_ = StartDovecotWithUsers(options, {{kUser, kToken}}, whyNot);
    std::string error;
    if (dovecot_ &&
        !dovecot_->Deliver(kUser, "1765094400.M1P1.oauth",
                           "From: Ann <ann@example.org>\nSubject: Hi\n\nbody\n", error)) {
      whyNot = error;
      dovecot_.reset();
    }
    RequireDovecot(dovecot_.get(), whyNot);
  }

  struct Run {
    int status = -1;
    std::string out, err;
  };

  Run Corvel(std::vector<std::string> arguments) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/usr/bin/corvel";
    std::ostringstream out, err;
    Run run;
    run.status = console::Main(arguments, environment, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  static std::vector<std::string> LogOf(const std::string& err, const std::string& account) {
    std::vector<std::string> messages;
    const std::string tag = "/" + account + "] ";
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t at = line.find(tag);
      if (at != std::string::npos) messages.push_back(line.substr(at + tag.size()));
    }
    return messages;
  }

  TestPki pki_;
  CertFiles files_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  std::unique_ptr<DovecotServer> dovecot_;
  WorkingFolder folder_;
};

TEST_F(CorvelOAuthDovecot, TokenCommandLogsInAndAWrongTokenFailsWithTheReason) {
  Run run = Corvel({"accounts", "add", "--name", "Work", "--server", "localhost", "--port",
                    dovecot_->TlsPortText(), "--user", kUser, "--security", "tls",
                    "--oauth-command", std::string("printf '%s\\n' ") + kToken});
  ASSERT_EQ(run.status, 0) << run.err;

  run = Corvel({"check"});
  ASSERT_EQ(run.status, 0) << run.err << dovecot_->LogText();
  const std::vector<std::string> log = LogOf(run.err, "Work");
  EXPECT_THAT(log, Contains("OAUTHBEARER worked!")) << run.err;
  EXPECT_THAT(log, Contains("Logging in using OAUTHBEARER..."));
  EXPECT_THAT(log, Contains(StartsWith("1 new mails!")));
  EXPECT_THAT(run.err, Not(HasSubstr(kToken)));

  ASSERT_EQ(Corvel({"accounts", "set", "Work", "--oauth-command", "printf ya29.expired"}).status,
            0);
  run = Corvel({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(LogOf(run.err, "Work"), Contains("OAUTHBEARER login failed!")) << run.err;
  EXPECT_THAT(LogOf(run.err, "Work"), Contains(::testing::AllOf(StartsWith("Server's answer: -ERR"),
                                                                HasSubstr("{\"status\":"))))
      << run.err;
  EXPECT_THAT(run.err, HasSubstr("corvel: Work: the server refused the OAuth2 token (OAUTHBEARER): "
                                 "-ERR"));
}

TEST_F(CorvelOAuthDovecot, AccountWithoutTlsIsNeverConnected) {
  ASSERT_EQ(Corvel({"accounts", "add", "--name", "Plain", "--server", "localhost", "--port",
                    dovecot_->PortText(), "--user", kUser, "--oauth-command", "printf tok"})
                .status,
            0);
  const Run run = Corvel({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(LogOf(run.err, "Plain"), Contains(StartsWith("Not connecting: an OAuth2 token")))
      << run.err;
  // Only the harness's own probe reached Dovecot: no login was attempted.
  EXPECT_THAT(dovecot_->LogText(), Not(HasSubstr("user=<tim@example.com>")));
}

}  // namespace
}  // namespace corvel::test
