#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tray/recording_tray_shell.h"

namespace corvel {
namespace {

using Kind = TrayShellCallKind;

TEST(RecordingTrayShell, DescribesEachCallOnOneLine) {
  RecordingTrayShell shell;
  std::vector<std::string> lines;
  shell.OnCall = [&](const TrayShellCall& call) { lines.push_back(DescribeTrayShellCall(call)); };
  TrayMenu menu;
  menu.items = {{"Restore", true, nullptr}, {"Exit", false, nullptr}};
  (void)shell.AddIcon({TrayPicture::kApplication, "Corvel! v0.6"});
  (void)shell.ModifyIcon({TrayPicture::kMailFrame1, ""});
  (void)shell.RemoveBalloon();
  (void)shell.ShowBalloon(
      {"New mail on home", "2 new mails! (300 bytes)", BalloonIcon::kInformation, 15000, {}});
  shell.BringToForeground();
  shell.ShowPopupMenu(menu, {5, 6});
  (void)shell.DeleteIcon();
  (void)shell.DeleteIcon();
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "add icon application \"Corvel! v0.6\"",
                       "modify icon mail1 \"\"",
                       "remove balloon",
                       "balloon info \"New mail on home\" \"2 new mails! (300 bytes)\" 15000 ms",
                       "bring to foreground",
                       "menu at 5,6 \"Restore\"(default) \"Exit\"",
                       "delete icon",
                       "delete icon [failed]",
                   }));
}

TEST(RecordingTrayShell, CallsImpossibleWithoutAnEntryFail) {
  RecordingTrayShell shell;
  EXPECT_FALSE(shell.ModifyIcon({}));
  EXPECT_FALSE(shell.ShowBalloon({}));
  EXPECT_FALSE(shell.RemoveBalloon());
  EXPECT_FALSE(shell.DeleteIcon());
  EXPECT_TRUE(shell.AddIcon({}));
  EXPECT_FALSE(shell.AddIcon({}));  // already there
  EXPECT_EQ(shell.Calls().size(), 6u);
}

TEST(RecordingTrayShell, CallerDecidesWhetherAKindOfCallSucceeds) {
  RecordingTrayShell shell;
  shell.SetResult(Kind::kAddIcon, false);
  EXPECT_FALSE(shell.AddIcon({TrayPicture::kApplication, "tip"}));
  EXPECT_FALSE(shell.IconShown());
  EXPECT_FALSE(shell.Calls().back().result);
  shell.SetResult(Kind::kAddIcon, true);
  EXPECT_TRUE(shell.AddIcon({TrayPicture::kApplication, "tip"}));
  EXPECT_TRUE(shell.IconShown());
  EXPECT_EQ(shell.ShownEntry(), (TrayEntry{TrayPicture::kApplication, "tip"}));
}

TEST(RecordingTrayShell, PickingAMenuItemClicksItLater) {
  RecordingTrayShell shell;
  EXPECT_FALSE(shell.PickMenuItem(0));  // no menu shown yet
  std::vector<std::string> picked;
  TrayMenu menu;
  menu.items = {{"Restore", true, [&] { picked.push_back("Restore"); }},
                {"Exit", false, [&] { picked.push_back("Exit"); }}};
  shell.ShowPopupMenu(menu, {});
  EXPECT_TRUE(picked.empty());
  EXPECT_TRUE(shell.PickMenuItem(0));
  EXPECT_FALSE(shell.PickMenuItem(2));
  EXPECT_EQ(picked, std::vector<std::string>{"Restore"});
}

TEST(TrayMenu, DefaultItemIsTheFirstMarkedOne) {
  std::vector<std::string> picked;
  TrayMenu menu;
  EXPECT_EQ(menu.DefaultItem(), nullptr);
  EXPECT_FALSE(menu.ClickDefault());
  menu.items = {{"Exit", false, [&] { picked.push_back("Exit"); }},
                {"Restore", true, [&] { picked.push_back("Restore"); }},
                {"Other", true, [&] { picked.push_back("Other"); }}};
  ASSERT_NE(menu.DefaultItem(), nullptr);
  EXPECT_EQ(menu.DefaultItem()->caption, "Restore");
  EXPECT_TRUE(menu.ClickDefault());
  menu.Click(7);  // past the end: ignored
  EXPECT_EQ(picked, std::vector<std::string>{"Restore"});
}

}  // namespace
}  // namespace corvel
