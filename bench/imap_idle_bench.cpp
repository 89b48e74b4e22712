// Idle cost of push: two `corvel --console` programs side by side for the
// same time against one Dovecot on loopback: one with an IMAP account whose
// three folders are kept in IDLE, one with a POP3 account on the same
// mailbox; both accounts have an interval of an hour, so neither checks
// meanwhile. The difference of their context switches is what the three
// IDLE connections cost in wake-ups (their renewals every 9 minutes, and
// Dovecot's own "still here" every 2 minutes); the IMAP program's resident
// memory is taken when it begins to idle and at the end.
//
// Run: build/release/bench/imap_idle_bench [SECONDS]   (default 600; as root:
// Dovecot's mail processes run as nobody).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_options.h"
#include "support/dovecot.h"

extern char** environ;

namespace {

struct Sample {
  long waits = 0;        // voluntary switches: the program slept and was woken
  long preemptions = 0;  // involuntary ones: the machine's other work
  long rssKb = 0;
};

Sample SampleOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  Sample sample;
  for (std::string line; std::getline(status, line);) {
    std::istringstream words(line);
    std::string key;
    long value = 0;
    words >> key >> value;
    if (key == "voluntary_ctxt_switches:") sample.waits = value;
    if (key == "nonvoluntary_ctxt_switches:") sample.preemptions = value;
    if (key == "VmRSS:") sample.rssKb = value;
  }
  return sample;
}

// An account in its own folder; the program's output goes to out.txt there.
pid_t StartCorvel(const std::filesystem::path& folder, bool imap, std::uint16_t port) {
  std::filesystem::create_directories(folder);
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  corvel::AccountForm form;
  form.enabled = true;
  form.name = imap ? "Imap" : "Pop";
  form.server = "127.0.0.1";
  form.port = std::to_string(port);
  form.user = "tim";
  form.password = "secret";
  form.interval = "3600";
  form.leaveMail = true;
  corvel::AccountRecord record = corvel::NewAccountRecord(form, 1);
  record.SetPlainAuthMethod("NONE");
  corvel::AccountFile file;
  file.Open();
  file.WriteRecord(0, record);
  if (imap) {
    corvel::EditAccountOptions(corvel::kAccountOptionsFileName, record.PlainUidlFileName(),
                               [](corvel::OptionSection& section) {
                                 corvel::StoreProtocolOptions(
                                     {corvel::MailProtocol::imap, {"INBOX", "Lists", "Work"}},
                                     section);
                               });
  }
  std::filesystem::current_path(here);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = (folder / "out.txt").string();
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::string binary = CORVEL_BINARY;
  std::string dir = folder.string();
  std::string c = "-C", log = "--log", console = "--console";
  char* argv[] = {binary.data(), c.data(), dir.data(), log.data(), console.data(), nullptr};
  setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::size_t Count(const std::filesystem::path& file, const std::string& text) {
  std::ifstream in(file);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t count = 0;
  for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
  std::string whyNot;
  corvel::test::DovecotOptions options;
  options.imap = true;
  auto dovecot = corvel::test::StartDovecotWithUsers(options, {{"tim", "secret"}}, whyNot);
  for (const char* mailbox : {"Lists", "Work"}) {
    if (dovecot && !dovecot->Doveadm({"mailbox", "create", "-u", "tim", mailbox}, "", whyNot)) {
      dovecot.reset();
    }
  }
  if (!dovecot) {
    std::fprintf(stderr, "Dovecot could not be started: %s\n", whyNot.c_str());
    return 2;
  }
  const std::filesystem::path work = std::filesystem::path(dovecot->Folder()) / "bench";
  const pid_t imap = StartCorvel(work / "imap", true, dovecot->ImapPort());
  const pid_t pop = StartCorvel(work / "pop", false, dovecot->Port());
  if (imap < 0 || pop < 0) return 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Count(work / "imap" / "out.txt", "Waiting for new mail in ") < 3) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "the three folders did not begin to idle\n");
      kill(imap, SIGTERM);
      kill(pop, SIGTERM);
      return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const Sample imapStart = SampleOf(imap);
  const Sample popStart = SampleOf(pop);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const Sample imapEnd = SampleOf(imap);
  const Sample popEnd = SampleOf(pop);
  const long imapWaits = imapEnd.waits - imapStart.waits;
  const long popWaits = popEnd.waits - popStart.waits;
  std::printf("%d s idle, three folders in IDLE against the same program without them:\n", seconds);
  std::printf(
      "  wake-ups (voluntary context switches): IMAP program %ld, POP3 program %ld, "
      "difference %ld\n",
      imapWaits, popWaits, imapWaits - popWaits);
  std::printf("  preemptions (involuntary ones): IMAP program %ld, POP3 program %ld\n",
              imapEnd.preemptions - imapStart.preemptions,
              popEnd.preemptions - popStart.preemptions);
  std::printf("  IDLE renewals and reopenings in the log: %zu stopped, %zu waiting lines\n",
              Count(work / "imap" / "out.txt", "stopped ("),
              Count(work / "imap" / "out.txt", "Waiting for new mail in "));
  std::printf(
      "  resident memory: IMAP program %ld kB at the start, %ld kB at the end (%+ld kB); "
      "POP3 program %ld kB\n",
      imapStart.rssKb, imapEnd.rssKb, imapEnd.rssKb - imapStart.rssKb, popEnd.rssKb);
  std::printf("  per IDLE connection: %.0f kB more than the POP3 program, %+.0f kB of growth\n",
              (imapEnd.rssKb - popEnd.rssKb) / 3.0, (imapEnd.rssKb - imapStart.rssKb) / 3.0);
  kill(imap, SIGTERM);
  kill(pop, SIGTERM);
  waitpid(imap, nullptr, 0);
  waitpid(pop, nullptr, 0);
  return 0;
}
