// The checks a user's machine runs all day, and what TLS adds: the steady-state
// check of a leave-mail account whose 10,000 messages have all been seen
// (connect, log in, STAT, UIDL n for every message, the seen file read and
// written back, QUIT), against one Dovecot on loopback, over plain text, over
// TLS from the first byte and over STARTTLS. The certificate is made for the
// run and trusted through SSL_CERT_FILE.
//
// Run: build/release/bench/check_bench   (as root: Dovecot's mail
// processes run as nobody). Counters: per_message_us = wall time of a check
// / messages; the TLS figures divided by the plain one give the ratio.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/memory_settings_store.h"
#include "app/tray/recording_tray_shell.h"
#include "checker/mail_checker.h"
#include "checker/seen_list.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/tls_test_pki.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

constexpr int kMessages = 10000;
constexpr char kUser[] = "bench";
constexpr char kPassword[] = "bench-pass";

std::string MessageName(int i) { return "1765000000.M" + std::to_string(i) + "P1.bench"; }

// The authority, trusted for the whole run, and Dovecot with its certificate
// and a mailbox of kMessages messages, started once for all benchmarks.
test::DovecotServer* Mailbox(std::string& whyNot) {
  static std::string startError;
  static test::TestPki* pki = new test::TestPki();
  static auto* trust = new std::unique_ptr<test::TestPki::TrustGuard>(pki->TrustOnly());
  static test::DovecotServer* server = []() -> test::DovecotServer* {
    const test::CertFiles files = pki->Issue("localhost");
    test::DovecotOptions options;
    options.sslCertFile = files.cert;
    options.sslKeyFile = files.key;
    auto started = test::DovecotServer::Start(options, startError);
    if (!started) return nullptr;
    std::string error;
    if (!started->AddUser(kUser, kPassword, error)) {
      startError = error;
      return nullptr;
    }
    for (int i = 0; i < kMessages; ++i) {
      const std::string body = "From: sender" + std::to_string(i) +
                               "@example.org\nSubject: message " + std::to_string(i) +
                               "\nDate: Mon, 7 Dec 2026 08:00:00 +0000\n\nbody\n";
      if (!started->Deliver(kUser, MessageName(i), body, error)) {
        startError = error;
        return nullptr;
      }
    }
    return started.release();
  }();
  (void)trust;
  whyNot = startError;
  return server;
}

void SteadyStateCheck(benchmark::State& state, std::uint8_t security) {
  std::string whyNot;
  test::DovecotServer* dovecot = Mailbox(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  test::WorkingFolder folder;
  {
    AccountFile file;
    file.Open();
    AccountForm form;
    form.enabled = true;
    form.name = "Bench";
    form.server = "localhost";
    form.port = security == kSecurityTls ? dovecot->TlsPortText() : dovecot->PortText();
    form.user = kUser;
    form.password = kPassword;
    form.interval = "300";
    form.leaveMail = true;
    form.securityMode = security;
    AccountRecord record = NewAccountRecord(form, 0);
    record.SetPlainAuthMethod("NONE");
    record.SetPlainUidlFileName("bench.uidl");
    file.WriteRecord(0, record);
  }
  PollEventLoop loop;
  InMemoryMainView view;
  view.SetProtocolTraceLimit(0);
  RecordingTrayShell shell;
  MemorySettingsStore settings;
  FixedLocaleFormat locale;
  MainWindow window(loop, view, shell, settings, locale);
  window.FormCreate();
  // The first check sees every message and fills the seen file.
  if (window.Checker().CheckAccount(0) != CheckOutcome::Checked) {
    state.SkipWithError("the first check failed");
    return;
  }
  SeenList seen;
  seen.LoadFromFile("bench.uidl");
  if (seen.Count() != kMessages) {
    state.SkipWithError("the first check did not see every message");
    return;
  }
  for (auto _ : state) {
    if (window.Checker().CheckAccount(0) != CheckOutcome::Checked) {
      state.SkipWithError("a check failed");
      break;
    }
  }
  state.counters["messages"] = kMessages;
  state.counters["per_message_us"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kMessages,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SteadyStateCheckPlain(benchmark::State& state) { SteadyStateCheck(state, kSecurityAuto); }
void BM_SteadyStateCheckTls(benchmark::State& state) { SteadyStateCheck(state, kSecurityTls); }
void BM_SteadyStateCheckStartTls(benchmark::State& state) {
  SteadyStateCheck(state, kSecurityStartTls);
}

BENCHMARK(BM_SteadyStateCheckPlain)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(BM_SteadyStateCheckTls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(BM_SteadyStateCheckStartTls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
