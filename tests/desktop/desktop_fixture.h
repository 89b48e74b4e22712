// The real `corvel-desktop` on an X server of its own (Xvfb) with a tray
// (trayer), against the project's POP3 server: the programs the desktop
// tests start, the user's actions (xdotool) and screenshots (ImageMagick's
// `import`, saved under CORVEL_SCREENSHOT_DIR in the build folder).
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_table.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/working_folder.h"

namespace corvel::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline bool HaveProgram(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Who a child runs as: the test's own user when uid is 0 and the test is not
// root, or the user given.
struct RunAs {
  uid_t uid = 0;
  gid_t gid = 0;
};

// A child process with extra environment variables, killed when it goes.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::map<std::string, std::string>& env,
        const fs::path& folder = {}, RunAs user = {}) {
    pid_ = ::fork();
    if (pid_ == 0) {
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      if (user.uid != 0 &&
          (::setgroups(0, nullptr) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0)) {
        ::_exit(126);
      }
      if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(127);
      std::vector<char*> args;
      for (std::string& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The exit status once it has ended within the time; -1 otherwise.
  int WaitExit(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  void Signal(int signal) const { ::kill(pid_, signal); }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
};

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"Xvfb", "trayer", "xdotool", "import", "compare"}) {
      if (!HaveProgram(program)) GTEST_SKIP() << program << " is not installed";
    }
    screenshots_ = CORVEL_SCREENSHOT_DIR;
    fs::create_directories(screenshots_);
    StartDisplay();
    env_ = {{"DISPLAY", display_},
            {"XDG_CONFIG_HOME", (folder_.Path() / "config").string()},
            // No session bus: Qt uses the XEmbed tray.
            {"DBUS_SESSION_BUS_ADDRESS", "disabled:"},
            {"QT_QPA_PLATFORM", "xcb"},
            {"ASAN_OPTIONS", "detect_leaks=0"}};
    tray_ = std::make_unique<Child>(
        std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                 "request", "--height", "32", "--transparent", "false", "--tint",
                                 "0xb0b0b0", "--SetDockType", "false"},
        env_);
    ASSERT_TRUE(Eventually([&] { return !Tool("search --name '^panel$'").empty(); }));
  }

  void StartDisplay(const std::string& screen = "800x600x24") {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string fd = std::to_string(fds[1]);
    xvfb_ = std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", fd, "-screen",
                                                             "0", screen, "-nolisten", "tcp"},
                                    std::map<std::string, std::string>{});
    ::close(fds[1]);
    std::string number;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    display_ = ":" + number;
  }

  // Runs an X tool on the test display; its output without the last newline.
  std::string Tool(const std::string& arguments, const char* program = "xdotool") {
    const std::string command =
        "DISPLAY=" + display_ + " " + program + " " + arguments + " 2>/dev/null";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      std::array<char, 256> buffer;
      while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
      ::pclose(pipe);
    }
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
  }

  template <typename Predicate>
  static bool Eventually(Predicate&& done, int timeoutMs = 20000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  void AddAccount() {
    fs::create_directories(folder_.Path() / "config" / "qor");
    std::ofstream(folder_.Path() / "config" / "qor" / "Corvel.conf")
        << "[\\Software\\qor\\Corvel\\]\nBalloon=True\nAllMail=True\nLog=True\n";
    AccountFile file;
    file.Open();
    AccountForm form;
    form.enabled = true;
    form.name = "Home";
    form.server = "127.0.0.1";
    form.port = server_.PortText();
    form.user = "user";
    form.password = "secret";
    form.interval = "1";
    form.leaveMail = true;
    const AccountRecord record = NewAccountRecord(form, 4711);
    seenFile_ = folder_.Path() / record.PlainUidlFileName();
    file.WriteRecord(0, record);
  }

  std::unique_ptr<Child> StartCorvel(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), CORVEL_DESKTOP_PATH);
    return std::make_unique<Child>(std::move(arguments), env_, folder_.Path());
  }

  std::string VisibleWindow() { return Tool("search --onlyvisible --name '^Corvel! v0.6$'"); }

  // The centre of the tray, where the only icon sits.
  std::pair<int, int> TrayIconPosition() {
    // trayer's panel: the window that holds the icons.
    const std::string id = Tool("search --name '^panel$'");
    std::istringstream geometry(Tool("getwindowgeometry --shell " + id.substr(0, id.find('\n'))));
    std::map<std::string, int> values;
    for (std::string line; std::getline(geometry, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    return {values["X"] + values["WIDTH"] / 2, values["Y"] + values["HEIGHT"] / 2};
  }

  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
  };
  Geometry WindowGeometry(const std::string& id) {
    std::istringstream lines(Tool("getwindowgeometry --shell " + id));
    Geometry g;
    for (std::string line; std::getline(lines, line);) {
      const int value = std::atoi(line.c_str() + line.find('=') + 1);
      if (line.rfind("X=", 0) == 0) g.x = value;
      if (line.rfind("Y=", 0) == 0) g.y = value;
      if (line.rfind("WIDTH=", 0) == 0) g.width = value;
      if (line.rfind("HEIGHT=", 0) == 0) g.height = value;
    }
    return g;
  }

  // Clicks the last item of the tray's pop-up menu ("Exit"): the visible
  // window of the program that is neither the main window nor the icon.
  bool ClickLastMenuItem() {
    std::istringstream ids(Tool("search --onlyvisible --classname corvel-desktop"));
    for (std::string id; std::getline(ids, id);) {
      const Geometry g = WindowGeometry(id);
      if (g.width >= 400 || g.width < 40 || g.height < 30) continue;
      Tool("mousemove " + std::to_string(g.x + g.width / 2) + " " +
           std::to_string(g.y + g.height * 3 / 4) + " click 1");
      return true;
    }
    return false;
  }

  void ClickTray(const std::string& click) {
    const auto [x, y] = TrayIconPosition();
    Tool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " " + click);
  }

  std::string Shot(const std::string& name, const std::string& window = "root",
                   const std::string& crop = "") {
    const std::string file = (screenshots_ / (name + ".png")).string();
    Tool("-window " + window + (crop.empty() ? "" : " -crop " + crop) + " " + file, "import");
    return file;
  }

  // The tray's picture now, as a file.
  std::string TrayShot(const std::string& name) {
    const auto [x, y] = TrayIconPosition();
    return Shot(name, "root", "24x24+" + std::to_string(x - 12) + "+" + std::to_string(y - 12));
  }

  // The number of pixels in which two pictures differ (ImageMagick's AE).
  static double Differs(const std::string& a, const std::string& b) {
    const std::string command = "compare -metric AE " + a + " " + b + " null: 2>&1";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      std::array<char, 256> buffer;
      while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
      ::pclose(pipe);
    }
    return output.empty() ? -1 : std::atof(output.c_str());
  }

  // A private session bus for the programs started from now on (with the
  // bus configuration given, as the user given); its address.
  std::string StartSessionBus(const fs::path& config = {}, RunAs user = {}) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    // The bus starts services (xfconfd) with its own environment.
    bus_ = std::make_unique<Child>(
        std::vector<std::string>{
            "dbus-daemon", config.empty() ? "--session" : "--config-file=" + config.string(),
            "--nofork", "--nopidfile", "--print-address=" + std::to_string(fds[1])},
        env_, fs::path(), user);
    ::close(fds[1]);
    std::string address;
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(fds[0]);
    env_["DBUS_SESSION_BUS_ADDRESS"] = address;
    return address;
  }

  WorkingFolder folder_;
  MailboxPop3Server server_;
  fs::path screenshots_;
  std::string display_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<Child> xvfb_;
  std::unique_ptr<Child> tray_;
  std::unique_ptr<Child> bus_;
  fs::path seenFile_;
};

inline std::string Mail(const std::string& from, const std::string& subject) {
  return "From: " + from + "\r\nSubject: " + subject +
         "\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n\r\nHi\r\n";
}

}  // namespace corvel::test
