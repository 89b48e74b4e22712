// `corvel demo`: a tour for someone without a mail server at hand. A small
// POP3 server of our own runs on loopback with a generated mailbox; a demo
// account lives in a fresh temporary folder; the program finds the login
// method, checks, receives two more messages and checks again — with exactly
// the checking code of a real run — and prints what a user would see.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <system_error>
#include <thread>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "checker/seen_list.h"
#include "console/commands.h"
#include "console/console_session.h"
#include "console/terminal_text.h"
#include "net/tick_count.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel::console {

namespace {

using test::MailboxOptions;
using test::MailboxPop3Server;

constexpr std::string_view kDemoUser = "newcomer";
constexpr std::string_view kDemoPassword = "corvel-demo";

std::string Message(std::string_view from, std::string_view subject, std::string_view date,
                    std::string_view body) {
  std::string text;
  text += "From: " + std::string(from) + "\r\n";
  text += "To: Newcomer <newcomer@example.org>\r\n";
  text += "Subject: " + std::string(subject) + "\r\n";
  text += "Date: " + std::string(date) + "\r\n";
  text += "Message-ID: <" + std::to_string(std::hash<std::string_view>{}(subject)) +
          "@corvel.example>\r\n";
  text += "\r\n";
  text += std::string(body) + "\r\n";
  return text;
}

// A folder that is removed again when the demo ends.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = base / ("corvel-demo-" + std::to_string(random()));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) return;
    }
    throw std::runtime_error("cannot create a temporary folder in " + base.string());
  }
  ~TemporaryFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Keeps the working directory of the caller.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& folder)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~WorkingDirectory() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

void AddMoreMail(MailboxPop3Server& server) {
  server.AddMessage("demo-0004", Message("Bob <bob@example.org>", "Lunch?",
                                         "Mon, 7 Dec 2026 12:05:00 +0000", "Pizza at one?"));
  server.AddMessage("demo-0005",
                    Message("=?windows-1252?Q?Ren=E9e?= <renee@example.org>",
                            "=?windows-1252?Q?Caf=E9_order_=96_confirmed?=",
                            "Mon, 7 Dec 2026 12:20:00 +0000", "Your coffee is on its way."));
}

// The desktop program on the demo folder, its settings there too. The first
// check comes a few seconds after the window opens and shows the balloon and
// the "New mail" list; two more messages arrive half a minute later.
int RunDesktopDemo(const std::string& desktopProgram, MailboxPop3Server& server,
                   const std::filesystem::path& config, std::ostream& out, std::ostream& err) {
  std::filesystem::create_directories(config / "qor");
  std::ofstream(config / "qor" / "Corvel.conf")
      << "[\\Software\\qor\\Corvel\\]\nBalloon=True\nAllMail=True\nLog=True\n";
  out << "Starting " << desktopProgram << "; \"Exit\" in its tray menu ends the demo.\n"
      << std::flush;
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::execl(desktopProgram.c_str(), desktopProgram.c_str(), nullptr);
    ::_exit(127);
  }
  if (child < 0) {
    err << "corvel: cannot start " << desktopProgram << '\n';
    return kExitUsage;
  }
  const auto start = std::chrono::steady_clock::now();
  bool moreMail = false;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (!moreMail && std::chrono::steady_clock::now() - start > std::chrono::seconds(30)) {
      AddMoreMail(server);
      moreMail = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kExitOk : kExitUsage;
}

}  // namespace

int RunDemo(const std::vector<std::string>& arguments, const Environment& environment,
            std::ostream& out, std::ostream& err) {
  // With a display the demo shows the desktop program; --console keeps it
  // on the terminal.
  const bool console = arguments.size() == 1 && arguments[0] == "--console";
  if (!arguments.empty() && !console) {
    err << "corvel: demo takes no arguments but --console\n";
    return kExitUsage;
  }
  const bool desktop = !console && !environment.desktopProgram.empty();

  // The server: no APOP timestamp and no CRAM-SHA1, so the discovery has
  // something to find out.
  MailboxOptions serverOptions;
  serverOptions.user = kDemoUser;
  serverOptions.password = kDemoPassword;
  serverOptions.timestamp.clear();
  serverOptions.allowApop = false;
  serverOptions.allowCramSha1 = false;
  MailboxPop3Server server(serverOptions);
  server.AddMessage("demo-0001", Message("=?ISO-8859-1?Q?J=F6rg_M=FCller?= <joerg@example.org>",
                                         "=?ISO-8859-1?Q?Gr=FC=DFe_aus_Berlin?=",
                                         "Mon, 7 Dec 2026 09:12:00 +0100", "Hallo!"));
  server.AddMessage(
      "demo-0002", Message("Ann Example <ann@example.org>", "=?ISO-8859-1?B?TWVldGluZyBhdCAxMA==?=",
                           "Mon, 7 Dec 2026 10:30:00 +0000", "See you there."));
  server.AddMessage("demo-0003", Message("The Corvel developers <dev@corvel.example>",
                                         "Welcome to Corvel", "Mon, 7 Dec 2026 11:00:00 +0000",
                                         "Corvel tells you about new mail without touching it."));

  TemporaryFolder folder;
  WorkingDirectory inFolder(folder.Path());
  out << "Demo mail server on 127.0.0.1:" << server.Port() << ", demo folder "
      << folder.Path().string() << "\n\n";

  // The account, added as `corvel accounts add` would.
  {
    AccountFile file;
    file.Open();
    AccountForm form;
    form.enabled = true;
    form.name = "Demo";
    form.server = "127.0.0.1";
    form.port = server.PortText();
    form.user = kDemoUser;
    form.password = kDemoPassword;
    form.interval = desktop ? "5" : "60";
    form.leaveMail = true;
    file.WriteRecord(0, NewAccountRecord(form, TickCount()));
    out << "Added the account \"Demo\" (user " << kDemoUser << ", leaves mail on the server).\n\n";
  }

  if (desktop) {
    return RunDesktopDemo(environment.desktopProgram, server, folder.Path() / "config", out, err);
  }

  // The demo's own settings folder, so the user's settings stay untouched.
  Environment demoEnvironment = environment;
  demoEnvironment.configFolder = folder.Path() / "config";
  ConsoleSession session(demoEnvironment, out, out, ConsoleSession::Mode::Check, true, {});
  MainWindow& window = session.Window();
  window.FormCreate();
  InMemoryMainView& view = session.View();
  view.SetChecked(Control::AllMailChkBx, true);
  view.SetChecked(Control::BalloonChkBx, true);

  out << "== First check: Corvel finds a login method the server accepts, then looks for mail\n";
  (void)window.CheckAllNow();
  out << "\nThe login method is remembered: " << window.Table()[0].PlainAuthMethod() << "\n\n";

  out << "== Checking again: nothing new, the three messages are already seen\n";
  window.MailList().Clear();
  (void)window.CheckAllNow();

  AddMoreMail(server);
  out << "\n== Two more messages arrive; the next check reports just those\n";
  (void)window.CheckAllNow();

  window.SaveAccountTable();
  out << "\nThe \"New mail\" list now holds:\n";
  for (const MailRow& row : window.MailList().Rows()) {
    const auto columns = TerminalColumns(row);
    out << "  " << columns[0] << " | " << columns[1] << " | " << columns[2] << " | " << columns[3]
        << " | " << columns[4] << " bytes | " << columns[5] << '\n';
  }
  SeenList seen;
  seen.LoadFromFile(window.Table()[0].PlainUidlFileName());
  out << "\nSeen-message file " << window.Table()[0].PlainUidlFileName() << " holds "
      << seen.Count() << " identifiers.\n"
      << "To check your own mailbox: corvel accounts add --name Home --server pop.example.org "
         "--user you --password-stdin --leave-mail, then corvel check.\n";
  return kExitOk;
}

}  // namespace corvel::console
