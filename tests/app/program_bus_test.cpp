// The running program on a private session bus (a dbus-daemon of the test's
// own), asked with gdbus as a script would: the introspection, the counts,
// the "New mail" rows, CheckNow, and the signals of new mail and of a failed
// check.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <thread>

#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::HasSubstr;

// A process whose standard output is read into a file.
struct Spawned {
  pid_t pid = -1;
  ~Spawned() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

pid_t Spawn(const std::vector<std::string>& argv, int out) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

std::string FileText(const std::string& name) {
  std::ifstream in(name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ProgramBusTest : public MainWindowTest {
 protected:
  void SetUp() override {
    if (std::system("command -v dbus-daemon gdbus >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "dbus-daemon or gdbus is not installed";
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    bus_.pid = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--print-address=" + std::to_string(fds[1])},
                     ::open("/dev/null", O_WRONLY | O_CLOEXEC));
    ::close(fds[1]);
    std::string address;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(fds[0]);
    ASSERT_FALSE(address.empty());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

  // gdbus run on a thread while the loop answers; its output.
  std::string Gdbus(const std::string& arguments) {
    std::string output;
    bool done = false;
    std::thread runner([&] {
      if (FILE* pipe = ::popen(("gdbus " + arguments + " 2>&1").c_str(), "r")) {
        std::array<char, 512> buffer;
        while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
        ::pclose(pipe);
      }
      done = true;
      loop_.Post([] {});
    });
    WaitFor(
        loop_, [&] { return done; }, 20000);
    runner.join();
    return output;
  }
  std::string Call(const std::string& method) {
    return Gdbus(
        "call --session --dest io.corvel.Corvel --object-path /io/corvel/Corvel "
        "--method io.corvel.Corvel." +
        method);
  }
  bool NameOwned() {
    return Gdbus(
               "call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus "
               "--method org.freedesktop.DBus.NameHasOwner io.corvel.Corvel")
               .find("true") != std::string::npos;
  }

  Spawned bus_;
};

TEST_F(ProgramBusTest, ScriptsAskForCountsAndRowsAndHearOfNewMailAndFailures) {
  MailboxPop3Server server;
  server.AddMessage("m1",
                    "From: Ann <ann@example.org>\r\nSubject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\r\n"
                    "Date: x\r\n\r\nHi\r\n");
  TestAccount home;
  home.port = server.PortText();
  home.interval = 3600;
  home.authMethod = "APOP";
  AddAccount(home);
  TestAccount away;
  away.name = "Away";
  away.port = ClosedPort();
  away.interval = 3600;
  AddAccount(away);
  settings_.Preset(kProgramKey, "AllMail", "True");
  MainWindowOptions options;
  options.longRunning = true;
  options.exportBus = true;
  Start(std::move(options));
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return NameOwned(); }, 20000));

  EXPECT_THAT(Gdbus("introspect --session --dest io.corvel.Corvel --object-path "
                    "/io/corvel/Corvel"),
              HasSubstr("GetCounts(out a(sxxxs) accounts);"));
  // Not checked yet.
  EXPECT_EQ(Call("GetCounts"),
            "([('Home', int64 0, int64 0, int64 0, ''), ('Away', 0, 0, 0, '')],)\n");

  // Signals while CheckNow checks both accounts.
  const std::string monitorFile = (folder_.Path() / "monitor.txt").string();
  const int out = ::open(monitorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  Spawned monitor;
  monitor.pid = Spawn({"gdbus", "monitor", "--session", "--dest", "io.corvel.Corvel"}, out);
  ::close(out);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return !FileText(monitorFile).empty(); }, 20000));
  EXPECT_EQ(Call("CheckNow"), "()\n");
  ASSERT_TRUE(WaitFor(
      loop_,
      [&] {
        const std::string heard = FileText(monitorFile);
        return heard.find("CheckFailed") != std::string::npos &&
               heard.find("NewMail") != std::string::npos;
      },
      30000));
  EXPECT_THAT(FileText(monitorFile),
              HasSubstr("io.corvel.Corvel.NewMail ('Home', int64 1, int64 "));
  EXPECT_THAT(FileText(monitorFile), HasSubstr("io.corvel.Corvel.CheckFailed ('Away', 'cannot "
                                               "connect to 127.0.0.1:" +
                                               away.port));

  std::tm moment = FixedMoment();
  const std::string checked = std::to_string(std::mktime(&moment));
  const std::string counts = Call("GetCounts");
  EXPECT_THAT(counts, HasSubstr("('Home', int64 1, int64 "));
  EXPECT_THAT(counts, HasSubstr(", int64 " + checked + ", ''), ('Away', 0, 0, " + checked +
                                ", 'cannot connect to 127.0.0.1:" + away.port));
  EXPECT_THAT(Call("GetNewMail"),
              HasSubstr("[('Home', 'Ann <ann@example.org>', 'Grüße', 'x', int64 "));
  EXPECT_THAT(Call("GetNewMail"), HasSubstr(", 'm1')]"));
  // Ending the program leaves the name.
  window_.reset();
  EXPECT_FALSE(NameOwned());
}

}  // namespace
}  // namespace corvel::test
