// Start-up, the window and the tray, the settings and the exit, as a person
// would see them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "accounts/file_io.h"
#include "accounts/file_lock.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class StartUpTest : public MainWindowTest {};

TEST_F(StartUpTest, FreshSystemOpensWithTheDesignedWindowAndDefaults) {
  settings_ = MemorySettingsStore();  // not even the "Log" value
  Start();
  EXPECT_EQ(view_.ApplicationTitle(), "Corvel!");
  EXPECT_EQ(view_.Caption(), "Corvel! v0.6");
  EXPECT_EQ(view_.Bounds().height, 517);
  EXPECT_EQ(view_.Bounds().width, 400);
  for (Control box : {Control::StartupChkBx, Control::ConnErrChkBx, Control::LogChkBx,
                      Control::AllMailChkBx, Control::BalloonChkBx}) {
    EXPECT_FALSE(view_.Checked(box));
  }
  const int widths[] = {70, 60, 100, 50, 50, 50};
  for (int column = 0; column < 6; ++column) EXPECT_EQ(view_.ColumnWidth(column), widths[column]);
  EXPECT_TRUE(shell_.IconShown());
  EXPECT_EQ(shell_.ShownEntry().picture, TrayPicture::kApplication);
  EXPECT_EQ(shell_.ShownEntry().tip, "Corvel! v0.6");
  EXPECT_FALSE(window_->CheckTimerEnabled());
  // Logging is off: the memo stays empty, and switching it on later does
  // not replay the start-up line.
  EXPECT_EQ(window_->LogMemo().Count(), 0u);
  view_.SetChecked(Control::LogChkBx, true);
  window_->CheckBoxClicked(Control::LogChkBx);
  EXPECT_EQ(window_->LogMemo().Count(), 0u);
  EXPECT_EQ(settings_.Peek(kProgramKey, "Log"), "True");
  EXPECT_THAT(view_.Errors(), IsEmpty());
  // The "About" tab's text: seven empty lines, the program's name, then the
  // version the build was given.
  EXPECT_EQ(
      view_.Text(Control::lblAbout)
          .rfind("\r\n\r\n\r\n\r\n\r\n\r\n\r\nCorvel! v0.6\r\nVersion " CORVEL_PROJECT_VERSION, 0),
      0u);
}

TEST_F(StartUpTest, GeometryIsRestoredOnlyWhenAllFourValuesArePresent) {
  settings_.Preset(kProgramKey, "H", "600");
  settings_.Preset(kProgramKey, "W", "700");
  settings_.Preset(kProgramKey, "Top", "10");
  Start();
  EXPECT_EQ(view_.Bounds().height, 517);
  EXPECT_EQ(view_.Bounds().width, 400);
  EXPECT_EQ(view_.Bounds().top, 0);
}

TEST_F(StartUpTest, GeometryIsRestoredWithTheMinimumSize) {
  settings_.Preset(kProgramKey, "H", "300");
  settings_.Preset(kProgramKey, "W", "900");
  settings_.Preset(kProgramKey, "Top", "-5");
  settings_.Preset(kProgramKey, "Left", "40");
  Start();
  EXPECT_EQ(view_.Bounds().height, 517);
  EXPECT_EQ(view_.Bounds().width, 900);
  EXPECT_EQ(view_.Bounds().top, -5);
  EXPECT_EQ(view_.Bounds().left, 40);
}

TEST_F(StartUpTest, BadGeometryValueShowsTheErrorAndSkipsTheRestOfStartUp) {
  TestAccount account;
  AddAccount(account);
  settings_.Preset(kProgramKey, "H", "tall");
  settings_.Preset(kProgramKey, "W", "700");
  settings_.Preset(kProgramKey, "Top", "10");
  settings_.Preset(kProgramKey, "Left", "10");
  Start();
  EXPECT_THAT(view_.Errors(), ElementsAre("'tall' is not a valid integer value"));
  EXPECT_FALSE(shell_.IconShown());
  EXPECT_EQ(window_->Table().Count(), 0u);
  EXPECT_FALSE(window_->CheckTimerEnabled());
  EXPECT_EQ(window_->LogMemo().Count(), 0u);
}

TEST_F(StartUpTest, OptionBoxesAreCheckedOnlyByTrueExactly) {
  settings_.Preset(kProgramKey, "ConnErr", "true");
  settings_.Preset(kProgramKey, "Balloon", "True");
  Start();
  EXPECT_FALSE(view_.Checked(Control::ConnErrChkBx));
  EXPECT_TRUE(view_.Checked(Control::BalloonChkBx));
  view_.SetChecked(Control::ConnErrChkBx, true);
  window_->CheckBoxClicked(Control::ConnErrChkBx);
  EXPECT_EQ(settings_.Peek(kProgramKey, "ConnErr"), "True");
}

TEST_F(StartUpTest, BadColumnWidthFallsBackSilently) {
  settings_.Preset(kProgramKey, "SubjectWidth", "wide");
  settings_.Preset(kProgramKey, "UIDLWidth", "80");
  Start();
  EXPECT_EQ(view_.ColumnWidth(2), 100);
  EXPECT_EQ(view_.ColumnWidth(5), 80);
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

TEST_F(StartUpTest, LogonEntryIsRewrittenWithThePathOfTheRunningProgram) {
  settings_.Preset(kRunKey, kRunValueName, "/old/place/corvel --MINIMIZE");
  MainWindowOptions options;
  options.programPath = "/new/place/corvel";
  Start(options);
  EXPECT_TRUE(view_.Checked(Control::StartupChkBx));
  EXPECT_EQ(settings_.Peek(kRunKey, kRunValueName), "/new/place/corvel --MINIMIZE");
  // Unchecking after the entry was removed by hand is no error.
  settings_.DeleteValue(kRunKey, kRunValueName);
  view_.SetChecked(Control::StartupChkBx, false);
  window_->CheckBoxClicked(Control::StartupChkBx);
  EXPECT_THAT(view_.Errors(), IsEmpty());
  EXPECT_FALSE(settings_.Peek(kRunKey, kRunValueName).has_value());
}

TEST_F(StartUpTest, SettingThatCannotBeWrittenShowsTheErrorAndKeepsTheBox) {
  Start();
  settings_.SetWriteFailure(MemorySettingsStore::WriteFailure::kSetData);
  view_.SetChecked(Control::BalloonChkBx, true);
  window_->CheckBoxClicked(Control::BalloonChkBx);
  EXPECT_THAT(view_.Errors(), ElementsAre("Failed to set data for 'Balloon'"));
  EXPECT_TRUE(view_.Checked(Control::BalloonChkBx));
}

TEST_F(StartUpTest, LowerCaseSwitchAsSecondArgumentSendsTheWindowToTheTrayAtFirstPaint) {
  MainWindowOptions options;
  options.arguments = {"--log", "--minimize"};
  Start(options);
  EXPECT_TRUE(view_.WindowVisible());
  window_->FormPaint();
  EXPECT_TRUE(window_->Flags().WindowInTray);
  EXPECT_FALSE(view_.WindowVisible());
  EXPECT_FALSE(view_.TaskbarButtonVisible());
  EXPECT_TRUE(shell_.IconShown());
  // Only the first paint looks at the command line.
  window_->TrayDblClick();
  window_->FormPaint();
  EXPECT_TRUE(view_.WindowVisible());
}

TEST_F(StartUpTest, CloseButtonHidesInTheTrayAndLeavesTheAccountsFileUnwritten) {
  TestAccount account;
  account.interval = 300;
  AddAccount(account);
  const std::string before = FileBytes(kAccountsFileName);
  Start();
  Tick();  // Elapsed counts in memory only
  EXPECT_FALSE(window_->FormClose());
  EXPECT_FALSE(view_.WindowVisible());
  EXPECT_TRUE(window_->Flags().WindowInTray);
  EXPECT_FALSE(loop_.Terminated());
  EXPECT_EQ(FileBytes(kAccountsFileName), before);
}

TEST_F(StartUpTest, SingleClickWithoutPendingMailDoesNothing) {
  Start();
  (void)window_->FormClose();
  window_->TrayClick();
  EXPECT_FALSE(view_.WindowVisible());
  EXPECT_TRUE(window_->Flags().WindowInTray);
}

TEST_F(StartUpTest, OnATrayWithoutDoubleClicksAnActivationRestoresOrOpensTheNewsWithoutAMenu) {
  shell_.SetReportsDoubleClicks(false);
  Start();
  (void)window_->FormClose();
  // One activation, as the host sends for a click and a double click alike.
  shell_.SimulateMouse(TrayMouseAction::kLeftDown, {5, 6});
  shell_.SimulateMouse(TrayMouseAction::kLeftUp, {5, 6});
  EXPECT_TRUE(view_.WindowVisible());
  EXPECT_FALSE(window_->Flags().WindowInTray);
  // With news pending it opens the "New mail" tab.
  (void)window_->FormClose();
  window_->Checker().ReportNewMail("Home", 1, 10, DetectionKind::WholeMailbox);
  shell_.SimulateLeftClick();
  EXPECT_TRUE(view_.WindowVisible());
  EXPECT_EQ(view_.CurrentTab(), MainTab::NewMail);
  EXPECT_FALSE(window_->Tray()->CycleIcons());
  // The host draws the menu: the program never shows one of its own.
  EXPECT_TRUE(shell_.CallsOf(TrayShellCallKind::kShowPopupMenu).empty());
}

TEST_F(StartUpTest, WithoutANotificationAreaTheWindowStaysInTheTaskBarAndClosingAsks) {
  shell_.SetTrayAvailable(false);
  MainWindowOptions options;
  options.arguments = {"--minimize"};
  Start(options);
  window_->FormPaint();
  EXPECT_TRUE(view_.IsMinimized());
  EXPECT_FALSE(window_->Flags().WindowInTray);
  // Said once: in the log and as a notification.
  EXPECT_EQ(LogEntries().back(), "|" + std::string(kNoTrayMessage));
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(Balloons()[0].text, kNoTrayMessage);
  EXPECT_FALSE(window_->MinimizeClicked());
  // Closing asks; "No" keeps it running, minimised.
  view_.SetConfirmAnswer(false);
  EXPECT_FALSE(window_->FormClose());
  EXPECT_EQ(view_.Confirmations(),
            (std::vector<std::string>{std::string(kExitWithoutTrayQuestion)}));
  EXPECT_FALSE(loop_.Terminated());
  EXPECT_EQ(Balloons().size(), 1u);
  // A panel that starts later takes the icon; the window goes to it again.
  shell_.SetTrayAvailable(true);
  shell_.SimulateShellRestart();
  EXPECT_TRUE(shell_.IconShown());
  EXPECT_FALSE(window_->FormClose());
  EXPECT_TRUE(window_->Flags().WindowInTray);
  EXPECT_EQ(view_.Confirmations().size(), 1u);
  // Without the tray, "Yes" ends the program.
  shell_.SetTrayAvailable(false);
  view_.SetConfirmAnswer(true);
  EXPECT_TRUE(window_->FormClose());
  EXPECT_TRUE(window_->Exited());
}

TEST_F(StartUpTest, ABalloonClickOpensTheTabItWasAbout) {
  settings_.Preset(kProgramKey, "Balloon", "True");
  settings_.Preset(kProgramKey, "ConnErr", "True");
  TestAccount account;
  account.port = ClosedPort();
  AddAccount(account);
  Start();
  (void)window_->FormClose();
  Tick();  // cannot connect
  ASSERT_EQ(Balloons().size(), 1u);
  shell_.SimulateBalloonClick();
  loop_.ProcessEvents(0);
  EXPECT_TRUE(view_.WindowVisible());
  EXPECT_EQ(view_.CurrentTab(), MainTab::Log);
  EXPECT_EQ(shell_.ShownEntry().tip, "Home: cannot connect");

  (void)window_->FormClose();
  window_->Checker().ReportNewMail("Home", 2, 300, DetectionKind::SeenList);
  shell_.SimulateBalloonClick();
  EXPECT_TRUE(view_.WindowVisible());
  EXPECT_EQ(view_.CurrentTab(), MainTab::NewMail);
  EXPECT_FALSE(window_->Flags().NewMailPending);
  EXPECT_FALSE(window_->Tray()->CycleIcons());
}

TEST_F(StartUpTest, DoubleClickRunsTheHandlerAndThenRestore) {
  Start();
  (void)window_->FormClose();
  shell_.SimulateLeftDoubleClick();
  // The default menu item follows the double click at once.
  EXPECT_TRUE(view_.WindowVisible());
  EXPECT_TRUE(view_.TaskbarButtonVisible());
  EXPECT_FALSE(window_->Flags().WindowInTray);
  // No single click comes after a double click, even once its time is up.
  loop_.ProcessEvents(0);
}

TEST_F(StartUpTest, RightClickShowsRestoreAsDefaultAndExit) {
  Start();
  shell_.SimulateMouse(TrayMouseAction::kRightDown, {100, 200});
  ASSERT_NE(shell_.LastMenu(), nullptr);
  const TrayMenu& menu = *shell_.LastMenu();
  ASSERT_EQ(menu.items.size(), 3u);
  EXPECT_EQ(menu.items[0].caption, "Restore");
  EXPECT_TRUE(menu.items[0].isDefault);
  EXPECT_EQ(menu.items[1].caption, "Do not disturb for 1 hour");
  EXPECT_EQ(menu.items[2].caption, "Exit");
}

TEST_F(StartUpTest, ExitWritesEveryAccountWithElapsedZeroAndTheFoundMethod) {
  MailboxPop3Server server;
  TestAccount first;
  first.name = "First";
  first.interval = 100;
  first.authMethod = "LOGIN";
  AddAccount(first);
  TestAccount account;
  account.port = server.PortText();
  AddAccount(account);
  Start();
  Tick();  // First counts 1; Home: the discovery finds APOP
  ASSERT_EQ(window_->Table()[0].Elapsed, 1);
  view_.SetColumnWidth(2, 140);
  window_->Exit1Click();

  AccountTable saved;
  ASSERT_TRUE(LoadAccounts(saved));
  ASSERT_EQ(saved.Count(), 2u);
  EXPECT_EQ(saved[0].PlainAuthMethod(), "LOGIN");
  EXPECT_EQ(saved[1].PlainAuthMethod(), "APOP");
  // The file itself holds Elapsed 0 (bytes 416..419 of each record).
  const std::string bytes = FileBytes(kAccountsFileName);
  ASSERT_EQ(bytes.size(), 2 * kRecordSize);
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(bytes[r * kRecordSize + 416 + i], '\0');
  }
  EXPECT_FALSE(shell_.IconShown());
  EXPECT_EQ(window_->Tray(), nullptr);
  EXPECT_EQ(settings_.Peek(kProgramKey, "H"), "517");
  EXPECT_EQ(settings_.Peek(kProgramKey, "SubjectWidth"), "140");
  EXPECT_TRUE(loop_.Terminated());
}

TEST_F(StartUpTest, ExitThatCannotSaveTheAccountsKeepsTheProgramRunning) {
  TestAccount account;
  AddAccount(account);
  Start();
  // A folder in place of the lock file (which stays on Windows).
  std::filesystem::remove(LockFileName(kAccountsFileName));
  std::filesystem::create_directory(LockFileName(kAccountsFileName));
  window_->Exit1Click();
  ASSERT_EQ(view_.Errors().size(), 1u);
  EXPECT_TRUE(shell_.IconShown());
  EXPECT_FALSE(loop_.Terminated());
}

TEST_F(StartUpTest, ExitDuringACheckDoesNotUseTheDestroyedTray) {
  MailboxPop3Server server;
  server.AddMessage("m", "From: a\r\nSubject: b\r\n\r\nc\r\n");
  TestAccount account;
  account.port = server.PortText();
  account.authMethod = "NONE";
  AddAccount(account);
  settings_.Preset(kProgramKey, "Balloon", "True");
  Start();
  (void)window_->FormClose();  // in the tray: new mail would animate
  // "Exit" is chosen while the client waits for the server's reply to STAT.
  bool exited = false;
  window_->Pop3().OnDisplay = [&](const std::string& line) {
    if (!exited && line == "> STAT") {
      exited = true;
      window_->Exit1Click();
    }
  };
  Tick();
  EXPECT_TRUE(exited);
  EXPECT_TRUE(loop_.Terminated());
  EXPECT_EQ(window_->Tray(), nullptr);
  EXPECT_FALSE(shell_.IconShown());
  EXPECT_TRUE(shell_.CallsOf(TrayShellCallKind::kShowBalloon).empty());
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

}  // namespace
}  // namespace corvel::test
