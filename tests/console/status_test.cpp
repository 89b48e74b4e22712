// `corvel status`: the four formats of the same counts, a quiet check when no
// program runs for the folder, and the running program's counts when one
// does (asked over a private session bus).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "app/bus/program_bus.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/tray/recording_tray_shell.h"
#include "console/commands.h"
#include "console/status_command.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using console::StatusFormat;
using ::testing::HasSubstr;

TEST(StatusFormats, EachBarGetsTheCountsInItsOwnShape) {
  const console::StatusReport news{
      {{"Home", 2, 4096, 1700000000, ""}, {"Work", 0, 0, 1700000000, "cannot connect to pop:110"}}};
  const console::StatusReport failing{{{"Work", 0, 0, 1700000000, "TLS failed: expired"}}};
  const console::StatusReport quiet{{{"Home", 0, 0, 1700000000, ""}, {"New", 0, 0, 0, ""}}};
  struct Case {
    const console::StatusReport* report;
    StatusFormat format;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {&news, StatusFormat::text, 0,
       "Home: 2 new mails (4096 bytes)\n"
       "Work: no new mail; the last check failed: cannot connect to pop:110\n"},
      {&quiet, StatusFormat::text, 0, "Home: no new mail\nNew: not checked yet\n"},
      {&news, StatusFormat::json, 0,
       R"({"accounts":[{"account":"Home","bytes":4096,"failure":"","lastCheck":1700000000,)"
       R"("new":2},{"account":"Work","bytes":0,"failure":"cannot connect to pop:110",)"
       R"("lastCheck":1700000000,"new":0}],"bytes":4096,"class":"new","new":2})"
       "\n"},
      {&news, StatusFormat::waybar, 0,
       R"({"alt":"new","class":"new","text":"2","tooltip":"Home: 2 new mails (4096 bytes)\n)"
       R"(Work: no new mail; the last check failed: cannot connect to pop:110"})"
       "\n"},
      {&failing, StatusFormat::waybar, 0,
       R"({"alt":"error","class":"error","text":"0","tooltip":"Work: no new mail; the last )"
       R"(check failed: TLS failed: expired"})"
       "\n"},
      {&quiet, StatusFormat::waybar, 0,
       R"({"alt":"none","class":"none","text":"0","tooltip":"Home: no new mail\nNew: not )"
       R"(checked yet"})"
       "\n"},
      {&news, StatusFormat::i3blocks, 33, "Mail: 2 new mails (Home 2)\n2\n#FFD700\n"},
      {&failing, StatusFormat::i3blocks, 0, "Mail: Work failed\n!\n#FF5555\n"},
      {&quiet, StatusFormat::i3blocks, 0, "Mail: none\n0\n\n"},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    EXPECT_EQ(console::PrintStatus(*c.report, c.format, out), c.status) << c.out;
    EXPECT_EQ(out.str(), c.out);
  }
}

class StatusTest : public ::testing::Test {
 protected:
  int Status(const std::vector<std::string>& arguments, std::string& out) {
    console::Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/opt/corvel/bin/corvel";
    std::ostringstream output, errors;
    std::vector<std::string> all{"status"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const int status = console::Main(all, environment, output, errors);
    out = output.str() + errors.str();
    return status;
  }
  void AddAccount() {
    AccountForm form;
    form.enabled = true;
    form.name = "Home";
    form.server = "127.0.0.1";
    form.port = server_.PortText();
    form.user = "user";
    form.password = "secret";
    form.interval = "3600";
    form.leaveMail = true;
    AccountRecord record = NewAccountRecord(form, 4711);
    record.SetPlainAuthMethod("APOP");
    AccountFile file;
    file.Open();
    file.WriteRecord(0, record);
  }

  WorkingFolder folder_;
  MailboxPop3Server server_;
};

TEST_F(StatusTest, WithoutARunningProgramAQuietCheckTellsWhatIsNewSinceTheLast) {
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  server_.AddMessage("m1", "From: a@example.org\r\nSubject: Hi\r\n\r\nx\r\n");
  AddAccount();
  std::string out;
  EXPECT_EQ(Status({"--format", "i3blocks"}, out), 33);
  EXPECT_EQ(out, "Mail: 1 new mail (Home 1)\n1\n#FFD700\n");
  EXPECT_EQ(Status({}, out), 0);
  EXPECT_EQ(out, "Home: no new mail\n");
  EXPECT_EQ(Status({"--format", "tsv"}, out), 2);
  EXPECT_THAT(out, HasSubstr("--format takes text, json, waybar or i3blocks, not 'tsv'"));
}

TEST_F(StatusTest, TheFoldersRunningProgramIsAskedOverTheSessionBus) {
  if (std::system("command -v dbus-daemon >/dev/null 2>&1") != 0) GTEST_SKIP();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t bus = ::fork();
  if (bus == 0) {
    ::dup2(::open("/dev/null", O_WRONLY), 2);
    const std::string print = "--print-address=" + std::to_string(fds[1]);
    ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", print.c_str(),
             nullptr);
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string address;
  for (char c; ::read(fds[0], &c, 1) == 1 && c != '\n';) address += c;
  ::close(fds[0]);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);

  server_.AddMessage("m1", "From: a@example.org\r\nSubject: Hi\r\n\r\nx\r\n");
  AddAccount();
  {
    SystemEventLoop loop;
    InMemoryMainView view;
    RecordingTrayShell shell;
    MemorySettingsStore settings;
    FixedLocaleFormat locale;
    MainWindowOptions options;
    options.longRunning = true;
    options.exportBus = true;
    MainWindow window(loop, view, shell, settings, locale, std::move(options));
    window.FormCreate();
    window.CheckAllNow();
    // A check of its own would find nothing new now; the program still has
    // the mail nobody looked at.
    std::string out;
    int status = -1;
    std::thread asking([&] {
      // The program takes its name on the bus on a thread of its own: ask
      // once it answers there.
      std::string why;
      for (int i = 0; i < 2000 && !AskRunningProgram(1000, why); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      status = Status({"--format", "waybar"}, out);
      loop.Post([] {});
    });
    ASSERT_TRUE(WaitFor(
        loop, [&] { return status != -1; }, 20000));
    asking.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, R"({"alt":"new","class":"new","text":"1","tooltip":"Home: 1 new mail ()" +
                       std::to_string(window.Counts()[0].newBytes) + " bytes)\"}\n");
  }
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::kill(bus, SIGTERM);
  ::waitpid(bus, nullptr, 0);
}

}  // namespace
}  // namespace corvel::test
