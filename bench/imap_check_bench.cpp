// The steady-state check of an IMAP account whose 10,000 INBOX messages
// have all been seen, against a Dovecot on loopback: our check cycle in this
// process (connect, log in, EXAMINE, what is new against the seen file,
// LOGOUT), the same check by the whole program (`corvel check`, started
// through the shell), and `fetchmail --check` in IMAP mode on the same
// mailbox started the same way (its messages \Seen, so that fetchmail finds
// nothing new either). bench/fetchmail_imap_ratio runs them and prints the
// ratio of the two whole programs.
//
// Run: build/release/bench/imap_check_bench   (as root: Dovecot's mail
// processes run as nobody).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_options.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/tray/recording_tray_shell.h"
#include "bench_processes.h"
#include "bench_session.h"
#include "checker/seen_list.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

constexpr char kUser[] = "bench";
constexpr char kPassword[] = "bench-pass";
constexpr int kMessages = 10000;

test::DovecotServer* Dovecot(std::string& whyNot) {
  static std::string startError;
  // Stopped, and its mailbox removed, when the benchmark ends.
  static const std::unique_ptr<test::DovecotServer> server =
      []() -> std::unique_ptr<test::DovecotServer> {
    test::DovecotOptions options;
    options.imap = true;
    auto started = test::StartDovecotWithUsers(options, {{kUser, kPassword}}, startError);
    if (!started) return nullptr;
    for (int i = 0; i < kMessages; ++i) {
      const std::string name = "1765000000.M" + std::to_string(i) + "P1.bench";
      const std::string body = "From: sender" + std::to_string(i) +
                               "@example.org\nSubject: message " + std::to_string(i) +
                               "\nDate: Mon, 7 Dec 2026 08:00:00 +0000\n\nbody\n";
      if (!started->Deliver(kUser, name, body, startError)) return nullptr;
      // Seen, as a mail program that has read them leaves them.
      const std::string maildir = started->MaildirOf(kUser);
      std::filesystem::rename(maildir + "/new/" + name, maildir + "/cur/" + name + ":2,S");
    }
    return started;
  }();
  whyNot = startError;
  return server.get();
}

void ImapCheck(benchmark::State& state) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
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
    form.server = "127.0.0.1";
    form.port = std::to_string(dovecot->ImapPort());
    form.user = kUser;
    form.password = kPassword;
    form.interval = "300";
    form.leaveMail = true;
    AccountRecord record = NewAccountRecord(form, 0);
    record.SetPlainAuthMethod("NONE");
    record.SetPlainUidlFileName("bench.uidl");
    file.WriteRecord(0, record);
    EditAccountOptions(kAccountOptionsFileName, "bench.uidl", [](OptionSection& section) {
      StoreProtocolOptions({MailProtocol::imap, {"INBOX"}}, section);
    });
  }
  bench::WindowSession session;
  // The first check sees every message and fills the seen file.
  if (session.window.Checker().CheckAccount(0) != CheckOutcome::Checked) {
    state.SkipWithError("the first check failed");
    return;
  }
  SeenList seen;
  seen.LoadFromFile("bench.uidl");
  if (seen.Count() != kMessages + 2) {  // and the folder's UIDVALIDITY and UIDNEXT
    state.SkipWithError("the first check did not see every message");
    return;
  }
  for (auto _ : state) {
    if (session.window.Checker().CheckAccount(0) != CheckOutcome::Checked ||
        session.window.Checker().LastReport().newCount != 0) {
      state.SkipWithError("a check failed or found news");
      break;
    }
  }
  state.counters["messages"] = kMessages;
}

// The same steady-state check by the whole program, `corvel check`, as a
// user's timer or status bar runs it: start-up, the accounts and seen files
// read, the check, exit.
void CorvelImapProcessCheck(benchmark::State& state) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  test::WorkingFolder folder;
  const std::string dir = std::filesystem::current_path().string();
  const std::string corvel =
      "XDG_CONFIG_HOME='" + dir + "/config' " + CORVEL_BINARY + " -C '" + dir + "' ";
  // The first check finds the login method and sees every message.
  if (bench::Run("printf %s " + std::string(kPassword) + " | " + corvel +
                 "accounts add --name Bench --server 127.0.0.1 --port " +
                 std::to_string(dovecot->ImapPort()) + " --user " + kUser +
                 " --password-stdin --leave-mail --protocol imap --folders INBOX"
                 " --secret-store file >/dev/null") != 0 ||
      bench::Run(corvel + "check --quiet >/dev/null 2>&1") != 0) {
    state.SkipWithError("could not set up the account");
    return;
  }
  bench::TimeCommand(state, corvel + "check", "corvel.out", 0);
  state.SetLabel(bench::FileText("corvel.out"));
  state.counters["messages"] = kMessages;
}

void FetchmailImapCheck(benchmark::State& state) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  test::WorkingFolder folder;
  bench::TimeFetchmailCheck(state,
                            "poll 127.0.0.1 service " + std::to_string(dovecot->ImapPort()) +
                                " proto IMAP auth password\n  user \"" + kUser + "\" password \"" +
                                kPassword + "\" keep sslproto '' no sslcertck",
                            {});
  state.counters["messages"] = kMessages;
}

BENCHMARK(ImapCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(CorvelImapProcessCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(FetchmailImapCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
