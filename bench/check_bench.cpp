// The cost of the checks a user's machine runs all day: one steady-state
// check of a leave-mail account whose 10,000 messages have all been seen
// (connect, log in, STAT, UIDL n for every message, the seen file read and
// written back, QUIT), against a real Dovecot on loopback; and the search of
// the seen-message list with 100,000 identifiers, beside the plain scan the
// list would need without its index.
//
// Run: build/release/bench/check_bench   (as root: Dovecot's mail processes
// run as nobody). Counters: per_message_us = wall time of a check / messages.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/memory_settings_store.h"
#include "app/tray/recording_tray_shell.h"
#include "checker/seen_list.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

constexpr int kMessages = 10000;
constexpr char kUser[] = "bench";
constexpr char kPassword[] = "bench-pass";

std::string MessageName(int i) { return "1765000000.M" + std::to_string(i) + "P1.bench"; }

// Dovecot with a mailbox of kMessages messages, started once for all runs.
test::DovecotServer* Mailbox(std::string& whyNot) {
  static std::string startError;
  static test::DovecotServer* server = []() -> test::DovecotServer* {
    auto started = test::DovecotServer::Start(test::DovecotOptions(), startError);
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
  whyNot = startError;
  return server;
}

void BM_SteadyStateCheckOfSeenMailbox(benchmark::State& state) {
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
    form.server = test::DovecotServer::Host();
    form.port = dovecot->PortText();
    form.user = kUser;
    form.password = kPassword;
    form.interval = "300";
    form.leaveMail = true;
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
BENCHMARK(BM_SteadyStateCheckOfSeenMailbox)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);

constexpr std::size_t kSeenIdentifiers = 100000;

std::string Identifier(std::size_t i) { return "1765000000.M" + std::to_string(i) + "P1.host"; }

void BM_SeenListSearch(benchmark::State& state) {
  SeenList list;
  for (std::size_t i = 0; i < kSeenIdentifiers; ++i) list.Append(Identifier(i));
  // Half the lookups find an identifier (spread over the list), half do not.
  std::vector<std::string> probes;
  for (std::size_t i = 0; i < 1000; ++i) {
    probes.push_back(i % 2 == 0 ? Identifier(i * 97 % kSeenIdentifiers) : "new-" + Identifier(i));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.Contains(probes[i++ % probes.size()]));
  }
}
BENCHMARK(BM_SeenListSearch);

// The same lookups as a scan from the first entry, as the list would search
// without its index.
void BM_SeenListLinearScan(benchmark::State& state) {
  std::deque<std::string> entries;
  for (std::size_t i = 0; i < kSeenIdentifiers; ++i) entries.push_back(Identifier(i));
  std::vector<std::string> probes;
  for (std::size_t i = 0; i < 1000; ++i) {
    probes.push_back(i % 2 == 0 ? Identifier(i * 97 % kSeenIdentifiers) : "new-" + Identifier(i));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& probe = probes[i++ % probes.size()];
    benchmark::DoNotOptimize(std::find(entries.begin(), entries.end(), probe) != entries.end());
  }
}
BENCHMARK(BM_SeenListLinearScan)->Unit(benchmark::kMicrosecond);

// Loading and writing back a seen file of 100,000 identifiers, as every
// check of such an account does.
void BM_SeenFileLoadAndSave(benchmark::State& state) {
  test::WorkingFolder folder;
  SeenList list;
  for (std::size_t i = 0; i < kSeenIdentifiers; ++i) list.Append(Identifier(i));
  list.SaveToFile("seen.uidl");
  for (auto _ : state) {
    SeenList loaded;
    loaded.LoadFromFile("seen.uidl");
    loaded.SaveToFile("seen.uidl");
    benchmark::DoNotOptimize(loaded.Count());
  }
}
BENCHMARK(BM_SeenFileLoadAndSave)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
