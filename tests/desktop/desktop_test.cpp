// The desktop program as a user meets it, on an XEmbed tray: each tab, the
// balloons, the animation while hidden, a click, a double click and a right
// click on the icon, and "Exit".
#include <signal.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "desktop/desktop_fixture.h"

namespace corvel::test {
namespace {

TEST_F(DesktopTest, WindowTrayBalloonsClicksAndExit) {
  server_.AddMessage("m1", Mail("=?UTF-8?Q?J=C3=B6rg_M=C3=BCller?= <j@example.org>",
                                "=?UTF-8?B?R3LDvMOfZSBhdXMgQmVybGlu?="));
  server_.AddMessage("m2", Mail("Ann <ann@example.org>", "=?ISO-8859-2?Q?Spotkanie_w_=A3odzi?="));
  AddAccount();

  // Shown at start; the first check lists the news and shows a balloon.
  auto corvel = StartCorvel();
  std::string window;
  ASSERT_TRUE(Eventually([&] { return !(window = VisibleWindow()).empty(); }));
  // The seen-message file is written at the end of the check.
  ASSERT_TRUE(Eventually([&] { return fs::exists(seenFile_) && fs::file_size(seenFile_) > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the balloon is drawn
  Shot("tray-balloon-window-shown");
  Tool("windowfocus --sync " + window);
  const char* tabs[] = {"accounts", "settings", "new-mail", "log", "about"};
  std::string newMailStrip;
  std::string accountsStrip;
  for (int i = 0; i < 5; ++i) {
    if (i > 0) Tool("key --window " + window + " ctrl+Tab");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Shot(std::string("tab-") + tabs[i], window);
    if (i == 0) accountsStrip = Shot("strip-accounts", window, "400x30+0+0");
    if (i == 2) newMailStrip = Shot("strip-new-mail", window, "400x30+0+0");
  }

  // "Exit" from the tray menu ends the program and writes the settings.
  ClickTray("click 3");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Shot("tray-menu");
  ASSERT_TRUE(ClickLastMenuItem());
  const int exitStatus = corvel->WaitExit(20000);
  if (exitStatus != 0) Shot("exit-failed");
  ASSERT_EQ(exitStatus, 0);
  std::ifstream settingsFile(folder_.Path() / "config" / "qor" / "Corvel.conf");
  std::stringstream settings;
  settings << settingsFile.rdbuf();
  EXPECT_NE(settings.str().find("H=517"), std::string::npos) << settings.str();
  EXPECT_NE(settings.str().find("SubjectWidth=100"), std::string::npos) << settings.str();

  // Started hidden; new mail while hidden: a balloon and the animation.
  corvel = StartCorvel({"--MINIMIZE"});
  ASSERT_TRUE(Eventually([&] { return !Tool("search --name '^Corvel! v0.6$'").empty(); }));
  ASSERT_TRUE(Eventually([&] { return VisibleWindow().empty(); }));
  server_.AddMessage("m3", Mail("Bob <bob@example.org>", "Lunch?"));
  std::set<std::string> pictures;
  ASSERT_TRUE(Eventually([&] {
    const std::string shot = TrayShot("tray-frame");
    std::ifstream in(shot, std::ios::binary);
    pictures.insert(std::string(std::istreambuf_iterator<char>(in), {}));
    return pictures.size() >= 3;  // the still icon and both animation images
  }));
  Shot("tray-balloon-window-hidden");
  // A click with news pending opens the "New mail" tab.
  ClickTray("click 1");
  ASSERT_TRUE(Eventually([&] { return !(window = VisibleWindow()).empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Shot("restored-by-click", window);
  const std::string strip = Shot("strip-restored", window, "400x30+0+0");
  EXPECT_LT(Differs(strip, newMailStrip), Differs(strip, accountsStrip));
  // The animation has stopped.
  const std::string still1 = TrayShot("tray-still-1");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const std::string still2 = TrayShot("tray-still-2");
  EXPECT_EQ(Differs(still1, still2), 0);
  corvel->Signal(SIGTERM);  // the session ending: as "Exit"
  ASSERT_EQ(corvel->WaitExit(20000), 0);

  // Started hidden again: a double click brings the window back.
  corvel = StartCorvel({"--minimize"});
  ASSERT_TRUE(Eventually([&] { return !Tool("search --name '^Corvel! v0.6$'").empty(); }));
  ASSERT_TRUE(Eventually([&] { return VisibleWindow().empty(); }));
  ClickTray("click --repeat 2 --delay 100 1");
  ASSERT_TRUE(Eventually([&] { return !VisibleWindow().empty(); }));
  corvel->Signal(SIGTERM);
  ASSERT_EQ(corvel->WaitExit(20000), 0);
}

}  // namespace
}  // namespace corvel::test
