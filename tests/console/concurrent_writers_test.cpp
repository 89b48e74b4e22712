// Several `corvel` processes at once against one folder, as a user with a
// running program, a script and a terminal has them: adds, edits, deletes,
// checks and settings, a few hundred commands within seconds. Whatever order
// they run in, every change that exited 0 is there exactly once, no deleted
// account comes back, the files stay private and nothing is left behind.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/file_io.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/working_folder.h"

extern char** environ;

namespace corvel::test {
namespace {

namespace fs = std::filesystem;

constexpr int kAddsPerWorker = 35;
constexpr int kDeletes = 20;
constexpr int kSets = 40;
constexpr int kChecksPerWorker = 12;

class ConcurrentWriters : public ::testing::Test {
 protected:
  ConcurrentWriters() {
    fs::create_directory(folder_.Path() / "mail");
    fs::create_directory(folder_.Path() / "logs");
  }

  [[nodiscard]] fs::path Mail() const { return folder_.Path() / "mail"; }

  // Runs `corvel -C <mail folder> ARGS...` as a process of its own and waits
  // for it; its output goes to the log of `worker`.
  int Corvel(const std::string& worker, const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {CORVEL_PROGRAM_PATH, "-C", Mail().string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment = {"XDG_CONFIG_HOME=" +
                                            (folder_.Path() / "config").string()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::string_view(*entry).starts_with("XDG_CONFIG_HOME=")) continue;
      if (std::string_view(*entry).starts_with("DISPLAY=")) continue;
      if (std::string_view(*entry).starts_with("WAYLAND_DISPLAY=")) continue;
      environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::string log = (folder_.Path() / "logs" / (worker + ".log")).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  [[nodiscard]] std::string Log(const std::string& worker) const {
    const auto text = ReadFileIfExists(folder_.Path() / "logs" / (worker + ".log"));
    return text ? text->substr(text->size() > 2000 ? text->size() - 2000 : 0) : std::string();
  }

  WorkingFolder folder_;
};

TEST_F(ConcurrentWriters, EveryChangeThatExitedZeroIsThereOnceAndNothingComesBack) {
  MailboxPop3Server server;
  server.AddMessage("m1", "From: a\r\nSubject: one\r\n\r\nx\r\n");
  server.AddMessage("m2", "From: b\r\nSubject: two\r\n\r\ny\r\n");
  auto add = [&](const std::string& worker, const std::string& name, bool enabled) {
    std::vector<std::string> arguments = {
        "accounts",        "add",    "--name", name,         "--server", "127.0.0.1",   "--port",
        server.PortText(), "--user", "user",   "--password", "secret",   "--leave-mail"};
    if (!enabled) arguments.push_back("--disabled");
    return Corvel(worker, arguments);
  };
  ASSERT_EQ(add("setup", "Base", true), 0) << Log("setup");
  for (int i = 0; i < kDeletes; ++i) {
    ASSERT_EQ(add("setup", "D" + std::to_string(i), false), 0) << Log("setup");
  }
  ASSERT_EQ(Corvel("setup", {"settings", "set", "Log", "True"}), 0) << Log("setup");

  std::map<std::string, std::vector<int>> statuses;
  for (const char* worker : {"addA", "addB", "delete", "set", "settings", "check1", "check2"}) {
    statuses[worker];
  }
  std::vector<std::thread> workers;
  for (const char* prefix : {"A", "B"}) {
    workers.emplace_back([&, prefix] {
      const std::string worker = std::string("add") + prefix;
      for (int i = 0; i < kAddsPerWorker; ++i) {
        statuses.at(worker).push_back(add(worker, prefix + std::to_string(i), false));
      }
    });
  }
  workers.emplace_back([&] {
    for (int i = 0; i < kDeletes; ++i) {
      statuses.at("delete").push_back(
          Corvel("delete", {"accounts", "delete", "D" + std::to_string(i)}));
    }
  });
  workers.emplace_back([&] {
    for (int i = 0; i < kSets; ++i) {
      const std::vector<std::string> arguments =
          i % 5 == 4 ? std::vector<std::string>{"accounts", "clear-auth", "Base"}
                     : std::vector<std::string>{"accounts", "set", "Base", "--interval",
                                                std::to_string(100 + i)};
      statuses.at("set").push_back(Corvel("set", arguments));
    }
  });
  workers.emplace_back([&] {
    for (int i = 0; i < kSets; ++i) {
      statuses.at("settings")
          .push_back(
              Corvel("settings", {"settings", "set", "CheckDeadline", std::to_string(600 + i)}));
    }
  });
  for (const char* worker : {"check1", "check2"}) {
    workers.emplace_back([&, worker] {
      for (int i = 0; i < kChecksPerWorker; ++i) {
        statuses.at(worker).push_back(Corvel(worker, {"check", "--quiet"}));
      }
    });
  }
  for (std::thread& thread : workers) thread.join();

  for (const auto& [worker, codes] : statuses) {
    EXPECT_THAT(codes, ::testing::Each(0)) << worker << ":\n" << Log(worker);
  }

  AccountFile file(Mail() / "mail.accounts.qor");
  file.Load();
  std::map<std::string, int> names;
  std::map<std::string, int> identities;
  for (std::size_t i = 0; i < file.RecordCount(); ++i) {
    const AccountRecord record = file.ReadRecord(i);
    ++names[record.PlainAccountName()];
    ++identities[AccountIdentity(record)];
  }
  std::map<std::string, int> expected = {{"Base", 1}};
  for (int i = 0; i < kAddsPerWorker; ++i) {
    expected["A" + std::to_string(i)] = 1;
    expected["B" + std::to_string(i)] = 1;
  }
  EXPECT_EQ(names, expected);
  EXPECT_EQ(identities.size(), file.RecordCount());
  AccountRecord base;
  for (std::size_t i = 0; i < file.RecordCount(); ++i) {
    if (file.ReadRecord(i).PlainAccountName() == "Base") base = file.ReadRecord(i);
  }
  EXPECT_EQ(base.Interval, 100 + kSets - 2);  // the last set before the last clear-auth
  EXPECT_EQ(ReadWholeFile(folder_.Path() / "config" / "qor" / "Corvel.conf"),
            "[\\Software\\qor\\Corvel\\]\nLog=True\nCheckDeadline=" +
                std::to_string(600 + kSets - 1) + "\n");
  EXPECT_EQ(ReadWholeFile(Mail() / base.PlainUidlFileName()), "m1\r\nm2\r\n");

  // Private files, and no temporary or lock file left behind.
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(Mail())) {
    entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << entries.back();
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_THAT(entries, ::testing::ElementsAre(base.PlainUidlFileName(), "mail.accounts.qor"));
}

}  // namespace
}  // namespace corvel::test
