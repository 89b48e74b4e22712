// The steady-state check of an IMAP account whose 10,000 INBOX messages
// have all been seen (connect, LOGIN, EXAMINE, UID SEARCH, the seen file read
// and merged into, LOGOUT), against a Dovecot on loopback, beside `fetchmail
// --check` in IMAP mode on the same mailbox (its messages \Seen, so that
// fetchmail finds nothing new either). bench/fetchmail_imap_ratio runs both
// and prints the ratio.
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

struct Session {
  Session() {
    view.SetProtocolTraceLimit(0);
    window.FormCreate();
  }
  PollEventLoop loop;
  InMemoryMainView view;
  RecordingTrayShell shell;
  MemorySettingsStore settings;
  FixedLocaleFormat locale;
  MainWindow window{loop, view, shell, settings, locale};
};

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
  Session session;
  // The first check sees every message and fills the seen file.
  if (session.window.Checker().CheckAccount(0) != CheckOutcome::Checked) {
    state.SkipWithError("the first check failed");
    return;
  }
  SeenList seen;
  seen.LoadFromFile("bench.uidl");
  if (seen.Count() != kMessages + 1) {  // and the folder's UIDVALIDITY
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

void FetchmailImapCheck(benchmark::State& state) {
  std::string whyNot;
  test::DovecotServer* dovecot = Dovecot(whyNot);
  if (dovecot == nullptr) {
    state.SkipWithError(("Dovecot could not be started: " + whyNot).c_str());
    return;
  }
  if (std::system("command -v fetchmail >/dev/null 2>&1") != 0) {
    state.SkipWithError("fetchmail is not installed (bench/fetchmail_imap_ratio installs it)");
    return;
  }
  test::WorkingFolder folder;
  const std::string here = std::filesystem::current_path().string();
  {
    std::ofstream rc("fetchmailrc");
    rc << "set no syslog\n"
       << "poll 127.0.0.1 service " << dovecot->ImapPort() << " proto IMAP auth password\n"
       << "  user \"" << kUser << "\" password \"" << kPassword
       << "\" keep sslproto '' no sslcertck\n";
  }
  std::filesystem::permissions(
      "fetchmailrc", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string command = "fetchmail --check --fetchmailrc '" + here +
                              "/fetchmailrc' --idfile '" + here +
                              "/fetchids' --nodetach >fetchmail.out 2>&1";
  for (auto _ : state) {
    // --check ends with 1 when there is no new mail, 0 when there is.
    const int status = std::system(command.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
      std::ifstream out("fetchmail.out");
      std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
      state.SkipWithError(("fetchmail failed: " + text).c_str());
      break;
    }
  }
  // What fetchmail said last ("10000 messages (10000 seen) for ..."): the
  // proof that it ran a steady-state check.
  std::ifstream out("fetchmail.out");
  std::string line;
  while (std::getline(out, line)) {
    if (line.find("messages") != std::string::npos) state.SetLabel(line);
  }
  state.counters["messages"] = kMessages;
}

BENCHMARK(ImapCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);
BENCHMARK(FetchmailImapCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
