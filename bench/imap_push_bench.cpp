// Push latency of IMAP accounts: `corvel --log --console` keeps INBOX of a
// Dovecot on loopback in IDLE; 20 messages are delivered one by one (doveadm
// save) and each is timed from the end of its delivery to its row on the
// program's standard output. Beside it, a bare IDLE connection of the
// benchmark's own times when Dovecot tells of the message (EXISTS), so that
// Corvel's own part (row - EXISTS) stands apart from Dovecot's.
//
// Run: build/release/bench/imap_push_bench [DELIVERIES]   (as root: Dovecot's
// mail processes run as nobody). Prints every delivery and the median and
// worst of each figure in milliseconds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_options.h"
#include "imap/imap_client.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/working_folder.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using corvel::test::DovecotServer;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Summary(const char* what, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("%-28s median %7.1f ms   worst %7.1f ms\n", what, values[values.size() / 2],
              values.back());
}

// The program's standard output, read as it comes.
class ChildOutput {
 public:
  explicit ChildOutput(int fd) : fd_(fd) { fcntl(fd_, F_SETFL, O_NONBLOCK); }
  // Takes what has arrived; true when `text` is in it (from `from` on).
  bool Has(const std::string& text) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      seen_.append(buffer, static_cast<std::size_t>(n));
    }
    return seen_.find(text) != std::string::npos;
  }

 private:
  int fd_;
  std::string seen_;
};

}  // namespace

int main(int argc, char** argv) {
  const int deliveries = argc > 1 ? std::atoi(argv[1]) : 20;
  std::string whyNot;
  corvel::test::DovecotOptions options;
  options.imap = true;
  auto dovecot = corvel::test::StartDovecotWithUsers(options, {{"tim", "secret"}}, whyNot);
  if (!dovecot) {
    std::fprintf(stderr, "Dovecot could not be started: %s\n", whyNot.c_str());
    return 2;
  }
  corvel::test::WorkingFolder folder;
  {
    corvel::AccountForm form;
    form.enabled = true;
    form.name = "Push";
    form.server = "127.0.0.1";
    form.port = std::to_string(dovecot->ImapPort());
    form.user = "tim";
    form.password = "secret";
    form.interval = "3600";  // nothing but the push reports in time
    form.leaveMail = true;
    corvel::AccountRecord record = corvel::NewAccountRecord(form, 1);
    record.SetPlainAuthMethod("NONE");
    corvel::AccountFile file;
    file.Open();
    file.WriteRecord(0, record);
    corvel::EditAccountOptions(
        corvel::kAccountOptionsFileName, record.PlainUidlFileName(),
        [](corvel::OptionSection& section) {
          corvel::StoreProtocolOptions({corvel::MailProtocol::imap, {"INBOX"}}, section);
        });
  }

  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::string binary = CORVEL_BINARY;
  std::string dir = std::filesystem::current_path().string();
  std::string c = "-C", log = "--log", console = "--console";
  char* childArgv[] = {binary.data(), c.data(), dir.data(), log.data(), console.data(), nullptr};
  pid_t child = -1;
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  // A row per message, with its subject.
  if (std::system((binary + " settings set AllMail True >/dev/null").c_str()) != 0) return 2;
  if (posix_spawn(&child, binary.c_str(), &actions, nullptr, childArgv, environ) != 0) return 2;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  ChildOutput output(pipeFds[0]);

  // The benchmark's own IDLE connection.
  corvel::PollEventLoop loop;
  corvel::ImapClient watcher(loop);
  std::optional<Clock::time_point> exists;
  watcher.SetHost("127.0.0.1");
  watcher.SetPort(std::to_string(dovecot->ImapPort()));
  watcher.SetUserName("tim");
  watcher.SetPassWord("secret");
  watcher.OnExists = [&](std::uint32_t) {
    if (watcher.ProtocolState() == corvel::ImapProtocolState::imapSelected) exists = Clock::now();
  };
  auto wait = [&](auto done, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      loop.ProcessEvents(1);
    }
    return true;
  };
  auto run = [&](auto operation) {
    operation();
    return wait([&] { return !watcher.Busy(); }, 15) && watcher.RequestSucceeded();
  };
  if (!run([&] { watcher.Connect(); }) ||
      !run([&] { watcher.Login(corvel::ImapAuthMechanism::imapAuthLogin); }) ||
      !run([&] { watcher.Examine("INBOX"); }) || !run([&] { watcher.Idle(); })) {
    std::fprintf(stderr, "the benchmark's own IDLE failed: %s\n", watcher.ErrorMessage().c_str());
    return 2;
  }
  if (!wait([&] { return output.Has("Waiting for new mail in INBOX (IDLE)"); }, 30)) {
    std::fprintf(stderr, "corvel did not begin to idle\n");
    kill(child, SIGTERM);
    return 2;
  }

  std::vector<double> toRow, toExists, own;
  for (int i = 1; i <= deliveries; ++i) {
    // A pause, so that each delivery is a check of its own.
    wait([] { return false; }, 0);
    const auto pause = Clock::now() + std::chrono::milliseconds(500);
    wait([&] { return Clock::now() > pause; }, 2);
    exists.reset();
    const std::string subject = "Push " + std::to_string(i);
    std::string error;
    if (!dovecot->Doveadm({"save", "-u", "tim", "-m", "INBOX"},
                          "From: Ann <ann@example.org>\nSubject: " + subject + "\nDate: d\n\nx\n",
                          error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    const auto delivered = Clock::now();
    if (!wait([&] { return output.Has("\t" + subject + "\t"); }, 30)) {
      std::fprintf(stderr, "no row for %s\n", subject.c_str());
      kill(child, SIGTERM);
      return 1;
    }
    const auto row = Clock::now();
    wait([&] { return exists.has_value(); }, 5);
    const auto told = exists.value_or(row);
    toRow.push_back(Ms(row - delivered));
    toExists.push_back(Ms(told - delivered));
    own.push_back(Ms(row - told));
    std::printf("%2d: row after %7.1f ms, EXISTS after %7.1f ms, Corvel's own %6.1f ms\n", i,
                toRow.back(), toExists.back(), own.back());
  }
  Summary("delivery to row", toRow);
  Summary("delivery to EXISTS (Dovecot)", toExists);
  Summary("EXISTS to row (Corvel)", own);
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  return 0;
}
