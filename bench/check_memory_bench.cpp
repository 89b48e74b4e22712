// Peak resident memory of `corvel check` on a leave-mail account whose
// 100,000 messages have all been seen, against Dovecot on loopback, as
// `/usr/bin/time -v` reports it ("Maximum resident set size"), with the
// mailbox listed in one command (the default) and message by message.
//
// Run: build/release/bench/check_memory_bench   (as root: Dovecot's mail
// processes run as nobody; delivering the mailbox takes a minute).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench_processes.h"
#include "support/dovecot.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

constexpr int kMessages = 100000;
constexpr char kUser[] = "big";
constexpr char kPassword[] = "big-pass";

test::DovecotServer* Dovecot(std::string& whyNot) {
  static std::string startError;
  // Stopped, and its mailboxes removed, when the benchmark ends.
  static const std::unique_ptr<test::DovecotServer> server =
      []() -> std::unique_ptr<test::DovecotServer> {
    auto started = test::DovecotServer::Start({}, startError);
    if (!started) return nullptr;
    std::string error;
    if (!started->AddUser(kUser, kPassword, error)) {
      startError = error;
      return nullptr;
    }
    for (int i = 0; i < kMessages; ++i) {
      const std::string body = "From: sender" + std::to_string(i) +
                               "@example.org\nSubject: message " + std::to_string(i) + "\n\nbody\n";
      if (!started->Deliver(kUser, "1765000000.M" + std::to_string(i) + "P1.big", body, error)) {
        startError = error;
        return nullptr;
      }
    }
    return started;
  }();
  whyNot = startError;
  return server.get();
}

using bench::Run;

void PeakMemoryOfCheck(benchmark::State& state, bool fastListing) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  test::WorkingFolder folder;
  const std::string dir = std::filesystem::current_path().string();
  const std::string corvel = std::string(CORVEL_BINARY) + " -C '" + dir + "' ";
  const std::string env = "XDG_CONFIG_HOME='" + dir + "/config' ";
  if (Run("printf %s " + std::string(kPassword) + " | " + env + corvel +
          "accounts add --name Big --server 127.0.0.1 --port " + dovecot->PortText() + " --user " +
          kUser + " --password-stdin --leave-mail >/dev/null") != 0 ||
      Run(env + corvel + "settings set FastListing " + (fastListing ? "True" : "False")) != 0) {
    state.SkipWithError("could not set up the account");
    return;
  }
  // The first check finds the login method and sees every message.
  if (Run(env + corvel + "check --quiet >/dev/null 2>&1") > 1) {
    state.SkipWithError("the first check failed");
    return;
  }
  double peakKb = 0;
  for (auto _ : state) {
    if (Run(env + "/usr/bin/time -v -o time.txt " + corvel + "check --quiet >/dev/null 2>&1") > 1) {
      state.SkipWithError("the check failed");
      break;
    }
    std::ifstream in("time.txt");
    std::string line;
    const std::string key = "Maximum resident set size (kbytes): ";
    while (std::getline(in, line)) {
      const auto at = line.find(key);
      if (at != std::string::npos)
        peakKb = std::max(peakKb, std::stod(line.substr(at + key.size())));
    }
  }
  state.counters["messages"] = kMessages;
  state.counters["peak_rss_mb"] = peakKb / 1024.0;
}

BENCHMARK_CAPTURE(PeakMemoryOfCheck, Listed, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(PeakMemoryOfCheck, PerMessage, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
