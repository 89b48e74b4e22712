// The desktop program under the panels and notification servers people use:
// xfce4-panel's tray on X11 (a StatusNotifier host), waybar in a headless
// sway (Wayland; run as an unprivileged user, as a desktop session is), and
// a desktop with a task bar but no tray. dunst receives the notifications.
// The tests talk to the panels the way the panels talk to the program:
// StatusNotifierItem and its menu over D-Bus (gdbus), and read what dunst
// received from its history.
#include <pwd.h>
#include <sys/stat.h>

#include <regex>

#include "desktop/desktop_fixture.h"

namespace corvel::test {
namespace {

class RealHostTest : public DesktopTest {
 protected:
  void SetUp() override {
    for (const char* program : {"Xvfb", "xdotool", "import", "gdbus", "dbus-daemon", "dunst",
                                "dunstctl", "xfce4-panel", "xfwm4", "sway", "waybar", "grim"}) {
      if (!HaveProgram(program)) GTEST_SKIP() << program << " is not installed";
    }
    screenshots_ = CORVEL_SCREENSHOT_DIR;
    fs::create_directories(screenshots_);
  }

  // ---- X11: Xvfb, a session bus, xfwm4 and xfce4-panel with the plugins given.
  void StartXfce(bool withTray, const std::string& screen = "800x600x24") {
    StartDisplay(screen);
    env_ = {{"DISPLAY", display_},
            {"XDG_CONFIG_HOME", (folder_.Path() / "config").string()},
            {"QT_QPA_PLATFORM", "xcb"},
            {"ASAN_OPTIONS", "detect_leaks=0"}};
    WritePanelConfig(withTray);
    ASSERT_FALSE(StartSessionBus().empty());
    wm_ = std::make_unique<Child>(std::vector<std::string>{"xfwm4", "--compositor=off"}, env_);
    panel_ = std::make_unique<Child>(std::vector<std::string>{"xfce4-panel", "--disable-wm-check"},
                                     env_);
    StartDunst();
    ASSERT_TRUE(Eventually([&] { return !Tool("search --class '^Xfce4-panel$'").empty(); }));
  }

  void StartDunst() {
    dunst_ = std::make_unique<Child>(std::vector<std::string>{"dunst"}, env_, fs::path(), user_);
    ASSERT_TRUE(Eventually([&] {
      return Call("org.freedesktop.DBus", "/", "org.freedesktop.DBus.NameHasOwner",
                  "org.freedesktop.Notifications")
                 .find("true") != std::string::npos;
    }));
  }

  void WritePanelConfig(bool withTray) {
    const fs::path folder = folder_.Path() / "config" / "xfce4" / "xfconf" / "xfce-perchannel-xml";
    fs::create_directories(folder);
    std::ofstream(folder / "xfce4-panel.xml")
        << R"(<channel name="xfce4-panel" version="1.0">
<property name="configver" type="int" value="2"/>
<property name="panels" type="array"><value type="int" value="1"/>
 <property name="panel-1" type="empty">
  <property name="position" type="string" value="p=8;x=0;y=0"/>
  <property name="length" type="uint" value="100"/>
  <property name="size" type="uint" value="30"/>
  <property name="position-locked" type="bool" value="true"/>
  <property name="plugin-ids" type="array"><value type="int" value="1"/>)"
        << (withTray ? R"(<value type="int" value="2"/>)" : "")
        << R"(</property></property></property>
<property name="plugins" type="empty">
 <property name="plugin-1" type="string" value="tasklist">
  <property name="expand" type="bool" value="true"/></property>
 <property name="plugin-2" type="string" value="systray"/>
</property></channel>)";
  }

  // ---- Wayland: a session bus, sway (headless) and dunst, as an unprivileged
  // user when the test runs as root.
  void StartSway() {
    user_ = {};
    if (::getuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      ASSERT_NE(nobody, nullptr);
      user_ = {nobody->pw_uid, nobody->pw_gid};
    }
    const fs::path home = folder_.Path() / "home";
    const fs::path runtime = folder_.Path() / "run";
    fs::create_directories(folder_.Path() / "config" / "waybar");
    fs::create_directories(runtime);
    fs::create_directories(home);
    ::chmod(runtime.c_str(), 0700);
    std::ofstream(home / "sway.conf")
        << "xwayland disable\noutput HEADLESS-1 resolution 1024x600\n";
    std::ofstream(folder_.Path() / "config" / "waybar" / "config")
        << R"({"position": "bottom", "height": 30, "modules-right": ["tray"],)"
           R"( "tray": {"icon-size": 22}})";
    // Any user may use the bus: the test (root) drives what the session's
    // user runs on it.
    std::ofstream(home / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
           "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    GiveFolderToUser();
    env_ = {{"HOME", home.string()},
            {"XDG_RUNTIME_DIR", runtime.string()},
            {"XDG_CONFIG_HOME", (folder_.Path() / "config").string()},
            {"ASAN_OPTIONS", "detect_leaks=0"}};

    ASSERT_FALSE(StartSessionBus(home / "bus.conf", user_).empty());

    std::map<std::string, std::string> swayEnv = env_;
    swayEnv.insert({{"WLR_BACKENDS", "headless"},
                    {"WLR_LIBINPUT_NO_DEVICES", "1"},
                    {"WLR_RENDERER", "pixman"}});
    sway_ = std::make_unique<Child>(
        std::vector<std::string>{"sway", "-c", (home / "sway.conf").string()}, swayEnv, fs::path(),
        user_);
    ASSERT_TRUE(Eventually([&] {
      for (const auto& entry : fs::directory_iterator(runtime)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) {
          env_["WAYLAND_DISPLAY"] = name;
        }
        if (name.rfind("sway-ipc", 0) == 0) env_["SWAYSOCK"] = entry.path().string();
      }
      return env_.count("WAYLAND_DISPLAY") > 0 && env_.count("SWAYSOCK") > 0;
    }));
    env_["QT_QPA_PLATFORM"] = "wayland";
    StartDunst();
  }

  // The session's user owns the folder and what the test wrote into it.
  void GiveFolderToUser() {
    if (user_.uid == 0) return;
    const std::string chown = "chown -R " + std::to_string(user_.uid) + ":" +
                              std::to_string(user_.gid) + " " + folder_.Path().string();
    ASSERT_EQ(std::system(chown.c_str()), 0);
  }

  // A command with the session's environment; its output.
  std::string Run(const std::string& command) {
    std::string line;
    for (const auto& [name, value] : env_) line += name + "='" + value + "' ";
    line += command + " 2>/dev/null";
    std::string output;
    if (FILE* pipe = ::popen(line.c_str(), "r")) {
      std::array<char, 512> buffer;
      while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) output += buffer.data();
      ::pclose(pipe);
    }
    return output;
  }

  // A D-Bus method call on the session bus, in gdbus's text form.
  std::string Call(const std::string& service, const std::string& path, const std::string& method,
                   const std::string& arguments = "") {
    return Run("gdbus call --session --timeout 5 --dest '" + service + "' --object-path '" + path +
               "' --method " + method + " " + arguments);
  }

  // The item the panel holds for the program ("service/path"), or empty.
  std::string Item() {
    const std::string items = Call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                   "org.freedesktop.DBus.Properties.Get",
                                   "org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems");
    std::smatch match;
    if (!std::regex_search(items, match, std::regex("'(:[0-9.]+)(/[A-Za-z/]*)?'"))) return {};
    service_ = match[1];
    path_ = match[2].length() > 0 ? std::string(match[2]) : "/StatusNotifierItem";
    return service_ + path_;
  }
  std::string ItemProperty(const std::string& name) {
    return Call(service_, path_, "org.freedesktop.DBus.Properties.Get",
                "org.kde.StatusNotifierItem " + name);
  }
  void Activate() { Call(service_, path_, "org.kde.StatusNotifierItem.Activate", "0 0"); }

  // The labels of the item's menu, and a click on the one given.
  std::string MenuLayout() {
    std::smatch match;
    const std::string menu = ItemProperty("Menu");
    if (!std::regex_search(menu, match, std::regex("objectpath '([^']+)'"))) return {};
    menuPath_ = match[1];
    return Call(service_, menuPath_, "com.canonical.dbusmenu.GetLayout", "0 10 '@as []'");
  }
  bool ClickMenuItem(const std::string& label) {
    const std::string layout = MenuLayout();
    std::smatch match;
    if (!std::regex_search(layout, match,
                           std::regex("\\(([0-9]+), \\{[^}]*'label': <'" + label + "'>"))) {
      return false;
    }
    Call(service_, menuPath_, "com.canonical.dbusmenu.Event",
         std::string(match[1]) + " 'clicked' '<0>' 0");
    return true;
  }

  // What dunst shows now, and the texts of what it received (closing those
  // shown puts them in its history).
  int NotificationsShown() { return std::atoi(Run("dunstctl count displayed").c_str()); }
  std::string NotificationHistory() {
    Run("dunstctl close-all");
    return Run("dunstctl history");
  }

  // The program's windows as sway has them: "title visible" lines.
  std::string SwayWindows() {
    const std::string tree = Run("swaymsg -t get_tree");
    std::string windows;
    const std::regex window("\"name\": \"([^\"]*)\",[^{}]*?\"app_id\": \"corvel");
    for (std::sregex_iterator it(tree.begin(), tree.end(), window), end; it != end; ++it) {
      windows += (*it)[1].str() + "\n";
    }
    return windows;
  }

  std::unique_ptr<Child> StartCorvelAs(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), CORVEL_DESKTOP_PATH);
    return std::make_unique<Child>(std::move(arguments), env_, folder_.Path(), user_);
  }

  void AddNews() {
    server_.AddMessage("m1", Mail("=?UTF-8?Q?J=C3=B6rg_M=C3=BCller?= <j@example.org>",
                                  "=?UTF-8?B?R3LDvMOfZSBhdXMgQmVybGlu?="));
    server_.AddMessage("m2", Mail("Ann <ann@example.org>", "Lunch on Friday?"));
    AddAccount();
  }

  RunAs user_;
  std::string service_, path_, menuPath_;
  std::unique_ptr<Child> wm_, panel_, dunst_, sway_, waybar_;
};

TEST_F(RealHostTest, XfcePanelShowsTheIconTooltipAndMenuAndANotificationReachesDunst) {
  StartXfce(true);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Eventually([&] {
    return Call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                "org.freedesktop.DBus.Properties.Get",
                "org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered")
               .find("true") != std::string::npos;
  }));
  AddNews();
  auto corvel = StartCorvelAs({"--MINIMIZE"});
  ASSERT_TRUE(Eventually([&] { return !Item().empty(); }));
  ASSERT_TRUE(Eventually([&] {
    return ItemProperty("ToolTip").find("Home: 2 new mails") != std::string::npos;
  })) << ItemProperty("ToolTip");
  ASSERT_TRUE(Eventually([&] { return NotificationsShown() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // drawn
  Shot("xfce-tray-and-notification");
  // The icon stays the program's own while the notification shows.
  EXPECT_EQ(ItemProperty("IconName").find("dialog"), std::string::npos) << ItemProperty("IconName");
  const std::string layout = MenuLayout();
  EXPECT_NE(layout.find("'Restore'"), std::string::npos) << layout;
  EXPECT_NE(layout.find("'Exit'"), std::string::npos) << layout;

  // A click on the notification opens "New mail".
  EXPECT_TRUE(VisibleWindow().empty());
  Run("dunstctl action 0");
  std::string window;
  ASSERT_TRUE(Eventually([&] { return !(window = VisibleWindow()).empty(); }));
  ASSERT_TRUE(Eventually(
      [&] { return ItemProperty("ToolTip").find("Corvel! v0.6") != std::string::npos; }));
  Shot("xfce-new-mail-after-click");
  EXPECT_NE(NotificationHistory().find("New mail on Home"), std::string::npos);
  ASSERT_TRUE(ClickMenuItem("Exit"));
  EXPECT_EQ(corvel->WaitExit(20000), 0);
}

TEST_F(RealHostTest, WaybarStartedAfterTheProgramStillGetsTheIconOnWayland) {
  StartSway();
  if (HasFatalFailure()) return;
  AddNews();
  GiveFolderToUser();
  auto corvel = StartCorvelAs();
  ASSERT_TRUE(Eventually([&] { return SwayWindows().find("Corvel! v0.6") != std::string::npos; }));
  ASSERT_TRUE(Eventually(
      [&] { return NotificationHistory().find("New mail on Home") != std::string::npos; }));
  // The panel comes after the program, as at many a login.
  waybar_ = std::make_unique<Child>(std::vector<std::string>{"waybar"}, env_, fs::path(), user_);
  ASSERT_TRUE(Eventually([&] { return !Item().empty(); }));
  EXPECT_NE(ItemProperty("ToolTip").find("Home: 2 new mails"), std::string::npos);
  Run("grim " + (screenshots_ / "wayland-waybar.png").string());
  // The click: the window, on "New mail", and no window of a menu of ours.
  Activate();
  ASSERT_TRUE(Eventually(
      [&] { return ItemProperty("ToolTip").find("Corvel! v0.6") != std::string::npos; }));
  EXPECT_EQ(SwayWindows(), "Corvel! v0.6\n");
  Run("grim " + (screenshots_ / "wayland-new-mail-after-click.png").string());
  ASSERT_TRUE(ClickMenuItem("Exit"));
  EXPECT_EQ(corvel->WaitExit(20000), 0);
}

TEST_F(RealHostTest, WithoutATrayTheWindowStaysInTheTaskBarAndASecondStartBringsItBack) {
  StartXfce(false);
  if (HasFatalFailure()) return;
  AddNews();
  auto corvel = StartCorvelAs({"--MINIMIZE"});
  std::string window;
  ASSERT_TRUE(
      Eventually([&] { return !(window = Tool("search --name '^Corvel! v0.6$'")).empty(); }));
  ASSERT_TRUE(Eventually([&] {
    return NotificationHistory().find("No notification area was found") != std::string::npos;
  }));
  ASSERT_TRUE(Eventually(
      [&] { return NotificationHistory().find("New mail on Home") != std::string::npos; }));
  // Minimised, with its button in the task bar.
  EXPECT_NE(Tool("-id " + window + " WM_STATE", "xprop").find("Iconic"), std::string::npos);
  Shot("no-tray-task-bar");
  // A second start in the folder brings the window forward, and ends.
  auto second = StartCorvelAs();
  EXPECT_EQ(second->WaitExit(20000), 0);
  ASSERT_TRUE(Eventually([&] { return !VisibleWindow().empty(); }));
  Shot("no-tray-second-start");
  // Closing asks; "No" keeps the program.
  Tool("windowactivate --sync " + window + " key --clearmodifiers alt+F4");
  std::string box;
  ASSERT_TRUE(
      Eventually([&] { return !(box = Tool("search --onlyvisible --name '^Corvel!$'")).empty(); }));
  Shot("no-tray-close-asks");
  Tool("windowactivate --sync " + box + " key Escape");
  ASSERT_TRUE(Eventually([&] { return Tool("search --onlyvisible --name '^Corvel!$'").empty(); }));
  EXPECT_EQ(corvel->WaitExit(500), -1);
  // A tray that comes later takes the icon, and closing hides the window in it.
  tray_ = std::make_unique<Child>(
      std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype",
                               "request", "--height", "32", "--SetDockType", "false"},
      env_);
  ASSERT_TRUE(Eventually([&] { return !Tool("search --name '^panel$'").empty(); }));
  ASSERT_TRUE(Eventually([&] {
    Tool("windowactivate --sync " + window + " key --clearmodifiers alt+F4");
    return VisibleWindow().empty();
  }));
  EXPECT_TRUE(Tool("search --onlyvisible --name '^Corvel!$'").empty());
  Shot("no-tray-then-a-tray");
  corvel->Signal(SIGTERM);
  EXPECT_EQ(corvel->WaitExit(20000), 0);
}

TEST_F(RealHostTest, AtTwiceTheScaleTheWindowIsTwiceAsLarge) {
  StartXfce(true, "1280x1100x24");
  if (HasFatalFailure()) return;
  AddNews();
  env_["QT_SCALE_FACTOR"] = "2";
  auto corvel = StartCorvelAs();
  std::string window;
  ASSERT_TRUE(Eventually([&] { return !(window = VisibleWindow()).empty(); }));
  ASSERT_TRUE(Eventually([&] { return fs::exists(seenFile_) && fs::file_size(seenFile_) > 0; }));
  ASSERT_TRUE(Eventually([&] { return NotificationsShown() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // drawn
  const Geometry geometry = WindowGeometry(window);
  EXPECT_GE(geometry.width, 800);
  EXPECT_GE(geometry.height, 1034);
  Shot("scale-2-accounts");
  Tool("key --window " + window + " ctrl+Tab ctrl+Tab");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Shot("scale-2-new-mail", window);
  corvel->Signal(SIGTERM);
  EXPECT_EQ(corvel->WaitExit(20000), 0);
}

// A notification's actions chosen in dunst's context menu (its menu program
// picks the action the test names), the tray menu's "Do not disturb", and
// `corvel status` asking the program over the session bus.
TEST_F(RealHostTest, NotificationActionsTheQuietHourAndTheStatusBarsQuestion) {
  const fs::path choice = folder_.Path() / "choice";
  const fs::path picker = folder_.Path() / "pick.sh";
  std::ofstream(picker) << "#!/bin/sh\ngrep -m1 -F \"$(cat '" << choice.string() << "')\"\n";
  fs::permissions(picker, fs::perms::owner_all);
  fs::create_directories(folder_.Path() / "config" / "dunst");
  std::ofstream(folder_.Path() / "config" / "dunst" / "dunstrc")
      << "[global]\n    dmenu = " << picker.string() << "\n";
  StartXfce(true);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(Eventually([&] {
    return Call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                "org.freedesktop.DBus.Properties.Get",
                "org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered")
               .find("true") != std::string::npos;
  }));
  AddNews();
  {
    std::ofstream settings(folder_.Path() / "config" / "qor" / "Corvel.conf", std::ios::app);
    settings << "MailProgram=sh -c 'echo opened > mail-program-ran'\n";
  }
  auto corvel = StartCorvelAs({"--MINIMIZE"});
  ASSERT_TRUE(Eventually([&] { return !Item().empty(); }));
  ASSERT_TRUE(Eventually([&] { return NotificationsShown() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // drawn
  Shot("xfce-notification-with-actions");
  const std::string layout = MenuLayout();
  EXPECT_NE(layout.find("'Open mail program'"), std::string::npos) << layout;

  // The status bar's question, answered by the running program.
  const std::string status =
      Run(CORVEL_CONSOLE_PATH " -C '" + folder_.Path().string() + "' status --format waybar");
  EXPECT_NE(status.find(R"("class":"new","text":"2")"), std::string::npos) << status;

  // "Open mail program": it runs, and the news count as seen.
  std::ofstream(choice) << "Open mail program";
  Run("dunstctl context");
  ASSERT_TRUE(Eventually([&] { return fs::exists(folder_.Path() / "mail-program-ran"); }));
  ASSERT_TRUE(Eventually(
      [&] { return ItemProperty("ToolTip").find("Corvel! v0.6") != std::string::npos; }));

  // Another message, checked at once over the bus; "Mark as seen".
  server_.AddMessage("m3", Mail("Bob <bob@example.org>", "Tea?"));
  Run("dunstctl close-all");
  Call("io.corvel.Corvel", "/io/corvel/Corvel", "io.corvel.Corvel.CheckNow");
  ASSERT_TRUE(Eventually([&] { return NotificationsShown() > 0; }));
  ASSERT_TRUE(Eventually(
      [&] { return ItemProperty("ToolTip").find("Home: 1 new mail") != std::string::npos; }));
  std::ofstream(choice) << "Mark as seen";
  Run("dunstctl context");
  ASSERT_TRUE(Eventually(
      [&] { return ItemProperty("ToolTip").find("Corvel! v0.6") != std::string::npos; }));
  EXPECT_TRUE(VisibleWindow().empty());

  // "Do not disturb for 1 hour": the icon and the tooltip say so.
  ASSERT_TRUE(ClickMenuItem("Do not disturb for 1 hour"));
  ASSERT_TRUE(Eventually(
      [&] { return ItemProperty("ToolTip").find("Do not disturb until") != std::string::npos; }));
  EXPECT_NE(MenuLayout().find("End \"Do not disturb\""), std::string::npos) << MenuLayout();
  Shot("xfce-do-not-disturb");
  ASSERT_TRUE(ClickMenuItem("Exit"));
  EXPECT_EQ(corvel->WaitExit(20000), 0);
}

}  // namespace
}  // namespace corvel::test
