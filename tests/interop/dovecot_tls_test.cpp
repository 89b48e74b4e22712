// `corvel check` against a real Dovecot over TLS: a certificate authority and
// a certificate for "localhost" are made for the run and trusted through
// SSL_CERT_FILE; Dovecot offers STLS on its plain port and TLS from the first
// byte on a second one. A check over either finds exactly what a plain check
// finds; an untrusted, an expired and a misnamed certificate are each refused
// with their log line and no login; a STARTTLS account against a Dovecot
// without TLS fails with its line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console/commands.h"
#include "support/dovecot.h"
#include "support/tls_test_pki.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kUser[] = "secure";
constexpr char kPassword[] = "tls-pass";

struct CommandRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The output rows without their first column (the account's name).
std::vector<std::string> RowsWithoutAccount(const std::string& out, const std::string& account) {
  std::vector<std::string> rows;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(account + "\t", 0) == 0) rows.push_back(line.substr(account.size() + 1));
  }
  return rows;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// Without Dovecot a test is skipped, except in CI, where it fails.
#define NO_DOVECOT()               \
  do {                             \
    if (InCi()) FAIL() << whyNot_; \
    GTEST_SKIP() << whyNot_;       \
  } while (false)

class DovecotTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki();
    good_ = new CertFiles(pki_->Issue("good"));
  }
  static void TearDownTestSuite() {
    delete good_;
    delete pki_;
  }

  void SetUp() override { trust_ = pki_->TrustOnly(); }

  // A Dovecot with `files` as its certificate (none: without TLS), a user
  // and two messages; null (the test then failed or skipped) when it does
  // not start.
  std::unique_ptr<DovecotServer> StartDovecot(const CertFiles* files) {
    DovecotOptions options;
    if (files != nullptr) {
      options.sslCertFile = files->cert;
      options.sslKeyFile = files->key;
    }
    std::string whyNot;
    std::unique_ptr<DovecotServer> server = DovecotServer::Start(options, whyNot);
    std::string error;
    if (server && (!server->AddUser(kUser, kPassword, error) ||
                   !server->Deliver(kUser, "1765094400.M1P1.tls", kFirst, error) ||
                   !server->Deliver(kUser, "1765094401.M2P2.tls", kSecond, error))) {
      whyNot = error;
      server.reset();
    }
    if (!server) whyNot_ = "Dovecot could not be started: " + whyNot;
    return server;
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

  void AddAccount(const std::string& name, const std::string& port, const std::string& security) {
    const CommandRun run =
        Corvel({"accounts", "add", "--name", name, "--server", "localhost", "--port", port,
                "--user", kUser, "--password", kPassword, "--leave-mail", "--security", security});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  // The lines of one account in the log, without the time stamp.
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

  // A refused certificate: a STARTTLS and a TLS account both fail with
  // `reason`, and Dovecot sees no login at all.
  void ExpectRefused(const CertSpec& spec, const std::string& stem, const std::string& reason) {
    const CertFiles files = pki_->Issue(stem, spec);
    std::unique_ptr<DovecotServer> dovecot = StartDovecot(&files);
    if (!dovecot) NO_DOVECOT();
    AddAccount("Tls", dovecot->TlsPortText(), "tls");
    AddAccount("Starttls", dovecot->PortText(), "starttls");
    const CommandRun run = Corvel({"check"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LogOf(run.err, "Tls"),
              (std::vector<std::string>{"Trying to connect to localhost", "TLS failed: " + reason,
                                        "Logged out from localhost..."}))
        << run.err;
    EXPECT_EQ(LogOf(run.err, "Starttls"),
              (std::vector<std::string>{"Trying to connect to localhost", "Connected to localhost",
                                        "TLS failed: " + reason, "Logged out from localhost..."}))
        << run.err;
    EXPECT_EQ(run.out, "");
    // Both connections ended in the handshake, with the client's alert.
    // Dovecot's login process writes its log on its own time: wait for the
    // two lines (bounded) before reading it.
    std::string log;
    for (int tries = 0; tries < 100; ++tries) {
      log = dovecot->LogText();
      if (Count(log, "TLS handshaking: SSL_accept() failed") >= 2) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_THAT(log, Not(HasSubstr("Login: user=")));
    EXPECT_THAT(log, Not(HasSubstr("Aborted login")));
    EXPECT_EQ(Count(log, "TLS handshaking: SSL_accept() failed"), 2u) << log;
  }

  static constexpr char kFirst[] =
      "From: Ann <ann@example.org>\nSubject: Over TLS\nDate: Mon, 7 Dec 2026 08:00:00 +0000\n\n"
      "body\n";
  static constexpr char kSecond[] =
      "From: =?ISO-8859-1?Q?Ren=E9e?= <renee@example.org>\nSubject: Second\nDate: d2\n\nx\n";

  static TestPki* pki_;
  static CertFiles* good_;
  WorkingFolder folder_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  std::string whyNot_;
};

TestPki* DovecotTls::pki_ = nullptr;
CertFiles* DovecotTls::good_ = nullptr;

TEST_F(DovecotTls, ChecksOverTlsAndStartTlsFindExactlyWhatAPlainCheckFinds) {
  std::unique_ptr<DovecotServer> dovecot = StartDovecot(good_);
  if (!dovecot) NO_DOVECOT();
  AddAccount("Plain", dovecot->PortText(), "auto");
  AddAccount("Tls", dovecot->TlsPortText(), "tls");
  AddAccount("Starttls", dovecot->PortText(), "starttls");

  CommandRun run = Corvel({"check", "--all-mail"});
  ASSERT_EQ(run.status, 0) << run.err << dovecot->LogText();
  EXPECT_THAT(run.err, Not(HasSubstr("TLS failed")));
  const std::vector<std::string> plain = RowsWithoutAccount(run.out, "Plain");
  ASSERT_EQ(plain.size(), 2u) << run.out;
  EXPECT_EQ(RowsWithoutAccount(run.out, "Tls"), plain);
  EXPECT_EQ(RowsWithoutAccount(run.out, "Starttls"), plain);
  EXPECT_THAT(plain[0], HasSubstr("Ann <ann@example.org>\tOver TLS\t"));
  for (const char* account : {"Plain", "Tls", "Starttls"}) {
    const std::vector<std::string> log = LogOf(run.err, account);
    EXPECT_THAT(log, ::testing::Contains("Logged in!")) << account;
    EXPECT_THAT(log, ::testing::Contains(::testing::StartsWith("2 new mails! ("))) << account;
  }
  // Dovecot marks the logins it received over TLS: the discovery and the
  // check of the two TLS accounts (APOP for each), none of the plain one.
  const std::string log = dovecot->LogText();
  EXPECT_EQ(Count(log, "Login: user=<secure>"), 6u) << log;
  EXPECT_EQ(Count(log, ", TLS"), 4u) << log;

  // The seen files work the same over TLS: nothing new the second time.
  run = Corvel({"check"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* account : {"Plain", "Tls", "Starttls"}) {
    EXPECT_THAT(LogOf(run.err, account), ::testing::Contains("No messages, quitting..."))
        << account;
  }
}

TEST_F(DovecotTls, RefusesAnUntrustedSelfSignedCertificate) {
  CertSpec spec;
  spec.selfSigned = true;
  ExpectRefused(spec, "self", "self-signed certificate");
}

TEST_F(DovecotTls, RefusesAnExpiredCertificate) {
  CertSpec spec;
  spec.validFrom = -10 * 24 * 3600;
  spec.validUntil = -24 * 3600;
  ExpectRefused(spec, "expired", "certificate has expired");
}

TEST_F(DovecotTls, RefusesACertificateForAnotherHostName) {
  CertSpec spec;
  spec.commonName = "mail.example.test";
  spec.dnsNames = {"mail.example.test"};
  ExpectRefused(spec, "other", "host name mismatch");
}

TEST_F(DovecotTls, StartTlsAccountAgainstADovecotWithoutTlsFailsWithItsLine) {
  std::unique_ptr<DovecotServer> dovecot = StartDovecot(nullptr);
  if (!dovecot) NO_DOVECOT();
  AddAccount("Starttls", dovecot->PortText(), "starttls");
  const CommandRun run = Corvel({"check"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(LogOf(run.err, "Starttls"),
            (std::vector<std::string>{"Trying to connect to localhost", "Connected to localhost",
                                      "TLS failed: server does not offer STARTTLS",
                                      "Logged out from localhost..."}))
      << run.err;
  EXPECT_THAT(dovecot->LogText(), Not(HasSubstr("Login: user=")));
}

}  // namespace
}  // namespace corvel::test
