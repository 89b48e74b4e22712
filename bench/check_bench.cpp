// The checks a user's machine runs all day, against one Dovecot on loopback:
//  - the steady-state check of a leave-mail account whose 10,000 messages
//    have all been seen (connect, log in, STAT, the identifiers, the seen file
//    read and written back, QUIT), over plain text with the mailbox listed in
//    one command ("FastListing", the default) and message by message, and
//    over TLS from the first byte and over STARTTLS;
//  - the same for 1,000 seen messages behind a 40 ms round trip (the delay
//    proxy), listed and message by message;
//  - the first check of 1,000 new messages with "Show me all the new mail"
//    behind 40 ms (headers of every message);
//  - `fetchmail --check` on the 10,000-message mailbox, for comparison
//    (bench/fetchmail_ratio runs it beside ours and prints the ratio).
// The certificate is made for the run and trusted through SSL_CERT_FILE.
//
// Run: build/release/bench/check_bench   (as root: Dovecot's mail processes
// run as nobody). Counters: per_message_us = wall time of a check / messages.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/tray/recording_tray_shell.h"
#include "bench_processes.h"
#include "bench_session.h"
#include "checker/mail_checker.h"
#include "checker/seen_list.h"
#include "delay_proxy/delay_proxy.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/tls_test_pki.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

constexpr char kPassword[] = "bench-pass";

// The mailboxes of the run: a user name and a number of messages each.
struct Mailbox {
  const char* user;
  int messages;
};
constexpr Mailbox kLarge{"bench", 10000};
constexpr Mailbox kFar{"far", 1000};
constexpr Mailbox kFresh{"fresh", 1000};

std::string MessageName(const Mailbox& box, int i) {
  return "1765000000.M" + std::to_string(i) + "P1." + box.user;
}

// The authority, trusted for the whole run, and Dovecot with its certificate
// and the mailboxes, started once for all benchmarks.
test::DovecotServer* Dovecot(std::string& whyNot) {
  static std::string startError;
  static const std::unique_ptr<test::TestPki> pki = std::make_unique<test::TestPki>();
  static const std::unique_ptr<test::TestPki::TrustGuard> trust = pki->TrustOnly();
  // Stopped, and its mailboxes removed, when the benchmark ends.
  static const std::unique_ptr<test::DovecotServer> server =
      []() -> std::unique_ptr<test::DovecotServer> {
    const test::CertFiles files = pki->Issue("localhost");
    test::DovecotOptions options;
    options.sslCertFile = files.cert;
    options.sslKeyFile = files.key;
    auto started = test::DovecotServer::Start(options, startError);
    if (!started) return nullptr;
    std::string error;
    for (const Mailbox& box : {kLarge, kFar, kFresh}) {
      if (!started->AddUser(box.user, kPassword, error)) {
        startError = error;
        return nullptr;
      }
      for (int i = 0; i < box.messages; ++i) {
        const std::string body = "From: sender" + std::to_string(i) +
                                 "@example.org\nSubject: message " + std::to_string(i) +
                                 "\nDate: Mon, 7 Dec 2026 08:00:00 +0000\n\nbody\n";
        if (!started->Deliver(box.user, MessageName(box, i), body, error)) {
          startError = error;
          return nullptr;
        }
      }
    }
    return started;
  }();
  (void)trust;
  whyNot = startError;
  return server.get();
}

struct CheckSetup {
  Mailbox box = kLarge;
  std::uint8_t security = kSecurityAuto;
  bool fastListing = true;
  int roundTripMs = 0;  // 0: straight to Dovecot
  bool firstCheckAllMail = false;
};

// One program session with one account on the mailbox.
struct Session : bench::WindowSession {
  explicit Session(const CheckSetup& setup)
      : WindowSession([&setup](MemorySettingsStore& settings) {
          settings.Preset(kProgramKey, kFastListingName, setup.fastListing ? "True" : "False");
          settings.Preset(kProgramKey, "AllMail", setup.firstCheckAllMail ? "True" : "False");
        }) {}
};

void WriteAccount(const CheckSetup& setup, const std::string& port) {
  AccountFile file;
  file.Open();
  AccountForm form;
  form.enabled = true;
  form.name = "Bench";
  form.server = "localhost";
  form.port = port;
  form.user = setup.box.user;
  form.password = kPassword;
  form.interval = "300";
  form.leaveMail = true;
  form.securityMode = setup.security;
  AccountRecord record = NewAccountRecord(form, 0);
  record.SetPlainAuthMethod("NONE");
  record.SetPlainUidlFileName("bench.uidl");
  file.WriteRecord(0, record);
}

void Check(benchmark::State& state, CheckSetup setup) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  test::WorkingFolder folder;
  std::unique_ptr<test::DelayProxy> proxy;
  std::string port = setup.security == kSecurityTls ? dovecot->TlsPortText() : dovecot->PortText();
  if (setup.roundTripMs > 0) {
    proxy = std::make_unique<test::DelayProxy>(
        static_cast<std::uint16_t>(std::stoi(port)),
        test::DelayProxyOptions{.roundTrip = std::chrono::milliseconds(setup.roundTripMs)});
    port = std::to_string(proxy->Port());
  }
  WriteAccount(setup, port);

  if (setup.firstCheckAllMail) {
    for (auto _ : state) {
      state.PauseTiming();
      std::filesystem::remove("bench.uidl");
      auto session = std::make_unique<Session>(setup);
      state.ResumeTiming();
      if (session->window.Checker().CheckAccount(0) != CheckOutcome::Checked ||
          session->window.MailList().Count() != static_cast<std::size_t>(setup.box.messages)) {
        state.SkipWithError("the first check did not show every message");
        break;
      }
      state.PauseTiming();
      session.reset();
      state.ResumeTiming();
    }
  } else {
    Session session(setup);
    // The first check sees every message and fills the seen file.
    if (session.window.Checker().CheckAccount(0) != CheckOutcome::Checked) {
      state.SkipWithError("the first check failed");
      return;
    }
    SeenList seen;
    seen.LoadFromFile("bench.uidl");
    if (seen.Count() != static_cast<std::size_t>(setup.box.messages)) {
      state.SkipWithError("the first check did not see every message");
      return;
    }
    for (auto _ : state) {
      if (session.window.Checker().CheckAccount(0) != CheckOutcome::Checked) {
        state.SkipWithError("a check failed");
        break;
      }
    }
  }
  state.counters["messages"] = setup.box.messages;
  state.counters["per_message_us"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * setup.box.messages,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// fetchmail --check on the large mailbox, plain text, no certificate check,
// with the identifiers of every message already seen (its id file), as a
// steady-state check of ours.
void FetchmailCheck(benchmark::State& state) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  std::vector<std::string> ids;
  for (int i = 0; i < kLarge.messages; ++i) {
    ids.push_back(std::string(kLarge.user) + "@127.0.0.1 " + MessageName(kLarge, i));
  }
  test::WorkingFolder folder;
  bench::TimeFetchmailCheck(state,
                            "poll 127.0.0.1 service " + dovecot->PortText() +
                                " proto POP3 uidl auth password\n  user \"" + kLarge.user +
                                "\" password \"" + kPassword + "\" keep sslproto '' no sslcertck",
                            ids);
  state.counters["messages"] = kLarge.messages;
}

// The rows of a first check with "Show me all the new mail" and many new
// messages: each row is looked up among those listed already (account and
// identifier), so the cost per row must not grow with the rows.
void AddMailRows(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < rows; ++i) ids.push_back("id-" + std::to_string(i));
  for (auto _ : state) {
    state.PauseTiming();
    test::WorkingFolder folder;
    auto session = std::make_unique<Session>(CheckSetup{});
    state.ResumeTiming();
    for (const std::string& id : ids) {
      session->window.Checker().AddMailRow("Bench", "Ann", "Hello", "d", 100, id);
    }
    if (session->window.MailList().Count() != rows) state.SkipWithError("rows went missing");
    state.PauseTiming();
    session.reset();
    state.ResumeTiming();
  }
  state.counters["per_row"] =
      benchmark::Counter(static_cast<double>(state.iterations() * rows),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

using std::chrono::milliseconds;

BENCHMARK_CAPTURE(Check, SteadyState10kPlain, CheckSetup{})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);
BENCHMARK_CAPTURE(Check, SteadyState10kPlainPerMessage, CheckSetup{.fastListing = false})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);
BENCHMARK(FetchmailCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK_CAPTURE(Check, SteadyState10kTls, CheckSetup{.security = kSecurityTls})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);
BENCHMARK_CAPTURE(Check, SteadyState10kStartTls, CheckSetup{.security = kSecurityStartTls})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);
BENCHMARK_CAPTURE(Check, SteadyState1kBehind40ms, CheckSetup{.box = kFar, .roundTripMs = 40})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);
BENCHMARK_CAPTURE(Check, SteadyState1kBehind40msPerMessage,
                  CheckSetup{.box = kFar, .fastListing = false, .roundTripMs = 40})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(Check, FirstCheck1kAllMailBehind40ms,
                  CheckSetup{.box = kFresh, .roundTripMs = 40, .firstCheckAllMail = true})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(AddMailRows)->Arg(10000)->Arg(20000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
