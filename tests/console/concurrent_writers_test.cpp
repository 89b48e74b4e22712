// Several `corvel` processes at once against one folder, as a user with a
// running program, a script and a terminal has them: adds, edits, deletes,
// checks and settings, a few hundred commands within seconds. Whatever order
// they run in, every change that exited 0 is there exactly once, no deleted
// account comes back, the files stay private and nothing is left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/file_io.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

TEST(ConcurrentWriters, EveryChangeThatExitedZeroIsThereOnceAndNothingComesBack) {
  WorkingFolder folder;
  MailboxPop3Server server;
  server.AddMessage("m1", "From: a\r\nSubject: one\r\n\r\nx\r\n");
  server.AddMessage("m2", "From: b\r\nSubject: two\r\n\r\ny\r\n");
  fs::create_directories(folder.Path() / "mail");
  fs::create_directories(folder.Path() / "status");
  // Each worker is a loop of commands that writes the exit status of each to
  // status/WORKER; the workers run side by side. 35 + 35 adds, 20 deletes, 40
  // edits, 40 settings and 2 x 12 checks.
  const std::string script = R"(
    export XDG_CONFIG_HOME="$PWD/config"
    c() { w=$1; shift; ")" CORVEL_PROGRAM_PATH R"(" -C mail "$@" >>"status/$w.log" 2>&1
          echo $? >>"status/$w"; }
    add() { c "$@" --server 127.0.0.1 --port )" +
                             server.PortText() + R"( --user user --password secret --leave-mail; }
    add setup accounts add --name Base
    for i in $(seq 0 19); do add setup accounts add --name D$i --disabled; done
    c setup settings set Log True
    for i in $(seq 0 34); do add addA accounts add --name A$i --disabled; done &
    for i in $(seq 0 34); do add addB accounts add --name B$i --disabled; done &
    for i in $(seq 0 19); do c delete accounts delete D$i; done &
    for i in $(seq 0 39); do if [ $((i % 5)) = 4 ]; then c set accounts clear-auth Base;
                             else c set accounts set Base --interval $((100 + i)); fi; done &
    for i in $(seq 0 39); do c settings settings set CheckDeadline $((600 + i)); done &
    for i in $(seq 0 11); do c check1 check --quiet; done &
    for i in $(seq 0 11); do c check2 check --quiet; done &
    wait)";
  ReplaceFileAtomically(folder.Path() / "workers.sh", script);
  const int status = std::system(("cd '" + folder.Path().string() + "' && sh workers.sh").c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const std::map<std::string, std::size_t> commands = {
      {"setup", 22}, {"addA", 35},     {"addB", 35},   {"delete", 20},
      {"set", 40},   {"settings", 40}, {"check1", 12}, {"check2", 12}};
  for (const auto& [worker, count] : commands) {
    std::string zeros;
    for (std::size_t i = 0; i < count; ++i) zeros += "0\n";
    EXPECT_EQ(ReadWholeFile(folder.Path() / "status" / worker), zeros)
        << worker << ":\n"
        << ReadWholeFile(folder.Path() / "status" / (worker + ".log"));
  }

  AccountFile file(folder.Path() / "mail" / "mail.accounts.qor");
  file.Load();
  std::map<std::string, int> names;
  std::map<std::string, int> expected = {{"Base", 1}};
  for (int i = 0; i < 35; ++i)
    expected["A" + std::to_string(i)] = expected["B" + std::to_string(i)] = 1;
  std::set<std::string> identities;
  AccountRecord base;
  for (std::size_t i = 0; i < file.RecordCount(); ++i) {
    const AccountRecord record = file.ReadRecord(i);
    ++names[record.PlainAccountName()];
    identities.insert(AccountIdentity(record));
    if (record.PlainAccountName() == "Base") base = record;
  }
  EXPECT_EQ(names, expected);
  EXPECT_EQ(identities.size(), file.RecordCount());
  EXPECT_EQ(base.Interval, 138);  // the last set before the last clear-auth
  EXPECT_EQ(ReadWholeFile(folder.Path() / "config" / "qor" / "Corvel.conf"),
            "[\\Software\\qor\\Corvel\\]\nLog=True\nCheckDeadline=639\n");
  EXPECT_EQ(ReadWholeFile(folder.Path() / "mail" / base.PlainUidlFileName()), "m1\r\nm2\r\n");

  // Private files, and no temporary or lock file left behind.
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(folder.Path() / "mail")) {
    entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << entries.back();
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_THAT(entries, ElementsAre(base.PlainUidlFileName(), "mail.accounts.qor"));
}

}  // namespace
}  // namespace corvel::test
