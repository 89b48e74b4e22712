// Acting on new mail: the notification's actions ("Open mail program" only
// while one is set, "Mark as seen"), the tray menu's items, "Do not disturb"
// and an account that keeps quiet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#endif

#include "accounts/account_options.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A mail program that leaves the file "opened" behind (a shell's on POSIX,
// the tests' own helper program on Windows, which has no shell).
std::string OpeningProgram() {
#ifdef _WIN32
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  folder.erase(folder.find_last_of("\\/") + 1);
  return "'" + folder + "corvel_test_child.exe' env opened";
#else
  return "sh -c 'echo \"$0\" > opened' inbox";
#endif
}

std::vector<std::string> Captions(const TrayMenu& menu) {
  std::vector<std::string> captions;
  for (const TrayMenuItem& item : menu.items) captions.push_back(item.caption);
  return captions;
}

class ActingOnMailTest : public MainWindowTest {
 protected:
  ActingOnMailTest() {
    settings_.Preset(kProgramKey, "Balloon", "True");
    settings_.Preset(kProgramKey, "AllMail", "True");
  }
  void AddOn(const std::string& name) {
    TestAccount account;
    account.name = name;
    account.port = server_.PortText();
    account.authMethod = "APOP";
    AddAccount(account);
  }
  // Puts the window in the tray and checks every account once.
  void CheckFromTheTray() {
    (void)window_->FormClose();
    ASSERT_TRUE(window_->Flags().WindowInTray);
    window_->CheckAllNow();
  }

  MailboxPop3Server server_;
};

TEST_F(ActingOnMailTest, TheNotificationOpensTheMailProgramOrTakesTheNewsAsSeen) {
  server_.AddMessage("m1", "From: a@example.org\r\nSubject: Hi\r\n\r\nx\r\n");
  AddOn("Home");
  Start();
  EXPECT_THAT(Captions(window_->PopupMenu()),
              ElementsAre("Restore", "Do not disturb for 1 hour", "Exit"));
  CheckFromTheTray();
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_THAT(Balloons()[0].actions, ElementsAre("Mark as seen"));
  EXPECT_NE(shell_.ShownEntry().picture, TrayPicture::kApplication);  // animated
  ASSERT_TRUE(shell_.SimulateBalloonAction("Mark as seen"));
  EXPECT_FALSE(window_->Flags().NewMailPending);
  EXPECT_EQ(shell_.ShownEntry().picture, TrayPicture::kApplication);
  EXPECT_EQ(window_->TrayHintText(), "Corvel! v0.6");
  EXPECT_EQ(window_->MailList().Count(), 1u);  // still listed

  // With a mail program set, the menu and the notification offer it.
  settings_.Preset(kProgramKey, "MailProgram", OpeningProgram());
  server_.AddMessage("m2", "From: b@example.org\r\nSubject: Again\r\n\r\nx\r\n");
  window_->CheckAllNow();
  EXPECT_THAT(Balloons().back().actions, ElementsAre("Open mail program", "Mark as seen"));
  window_->PopupMenu().OnOpening();
  EXPECT_THAT(Captions(window_->PopupMenu()),
              ElementsAre("Restore", "Open mail program", "Do not disturb for 1 hour", "Exit"));
  ASSERT_TRUE(shell_.SimulateBalloonAction("Open mail program"));
  ASSERT_TRUE(WaitFor(loop_, [] { return std::filesystem::exists("opened"); }));
  EXPECT_FALSE(window_->Flags().NewMailPending);

  // A mail program that cannot start says so in the log.
  settings_.Preset(kProgramKey, "MailProgram", "no-such-mail-program-here");
  window_->MailRowDblClick(0);
  EXPECT_THAT(LogEntries().back(),
              ::testing::HasSubstr("|Mail program no-such-mail-program-here not started: "));
}

TEST_F(ActingOnMailTest,
       DoNotDisturbKeepsBalloonsAndAnimationBackUntilItEndsAndQuietAccountsForGood) {
  AddOn("Home");
  AddOn("Lists");
  AccountFile file;
  file.Open();
  EditAccountOptions(kAccountOptionsFileName, file.ReadRecord(1).PlainUidlFileName(),
                     [](OptionSection& section) { section.Set(kQuietKey, "on"); });
  Start();

  // "Lists" keeps quiet: its rows and log lines come, its balloon does not.
  server_.AddMessage("m1", "From: a@example.org\r\nSubject: Hi\r\n\r\nx\r\n");
  CheckFromTheTray();
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(Balloons()[0].title, "New mail on Home");
  EXPECT_EQ(window_->MailList().Count(), 2u);
  EXPECT_THAT(LogOf("Lists"), ::testing::Contains("1 new mails! (" +
                                                  window_->MailList().Rows()[1].bytes + " bytes)"));

  // Do not disturb: the animation stops, the icon and the tooltip say so.
  window_->PopupMenu().Click(1);
  EXPECT_TRUE(window_->DoNotDisturb());
  EXPECT_EQ(shell_.ShownEntry().picture, TrayPicture::kDoNotDisturb);
  EXPECT_EQ(window_->PopupMenu().items[1].caption, "End \"Do not disturb\" (until 10:30:15)");
  EXPECT_THAT(window_->TrayHintText(), ::testing::StartsWith("Do not disturb until 10:30:15; "));
  server_.AddMessage("m2", "From: b@example.org\r\nSubject: Again\r\n\r\nx\r\n");
  window_->CheckAllNow();
  EXPECT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(window_->MailList().Count(), 4u);
  EXPECT_EQ(shell_.ShownEntry().picture, TrayPicture::kDoNotDisturb);

  // At its end the news not looked at move the icon again.
  window_->PopupMenu().Click(1);
  EXPECT_FALSE(window_->DoNotDisturb());
  EXPECT_NE(shell_.ShownEntry().picture, TrayPicture::kDoNotDisturb);
  EXPECT_NE(shell_.ShownEntry().picture, TrayPicture::kApplication);
  EXPECT_EQ(window_->PopupMenu().items[1].caption, "Do not disturb for 1 hour");
}

TEST_F(ActingOnMailTest, DoNotDisturbEndsByItselfWhenItsTimeIsUp) {
  MainWindowOptions options;
  options.doNotDisturbMs = 50;
  Start(std::move(options));
  window_->DoNotDisturbClick();
  EXPECT_EQ(shell_.ShownEntry().picture, TrayPicture::kDoNotDisturb);
  ASSERT_TRUE(WaitFor(loop_, [&] { return !window_->DoNotDisturb(); }));
  EXPECT_EQ(shell_.ShownEntry().picture, TrayPicture::kApplication);
  EXPECT_EQ(window_->TrayHintText(), "Corvel! v0.6");
}

}  // namespace
}  // namespace corvel::test
