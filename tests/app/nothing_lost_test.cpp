// What the program must never lose or undo: the accounts after a start-up
// that stopped half-way, start-up itself over a setting it cannot write back,
// the logon entry of another program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "main_window_fixture.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class NothingLostTest : public MainWindowTest {};

TEST_F(NothingLostTest, ExitAfterAStartUpThatStoppedKeepsTheAccountsAndTheSettings) {
  AddAccount(TestAccount{});
  const std::string accounts = FileBytes(kAccountsFileName);
  settings_.Preset(kProgramKey, "H", "517px");
  settings_.Preset(kProgramKey, "W", "400");
  settings_.Preset(kProgramKey, "Top", "0");
  settings_.Preset(kProgramKey, "Left", "0");
  Start();
  ASSERT_FALSE(window_->Started());
  window_->Exit1Click();
  EXPECT_TRUE(loop_.Terminated());
  EXPECT_EQ(FileBytes(kAccountsFileName), accounts);
  EXPECT_EQ(settings_.Peek(kProgramKey, "H"), "517px");
}

TEST_F(NothingLostTest, EditorOpenedAfterAStartUpThatStoppedDoesNotWriteTheEmptyTable) {
  AddAccount(TestAccount{});
  const std::string accounts = FileBytes(kAccountsFileName);
  settings_.Preset(kProgramKey, "H", "x");
  settings_.Preset(kProgramKey, "W", "x");
  settings_.Preset(kProgramKey, "Top", "x");
  settings_.Preset(kProgramKey, "Left", "x");
  Start();
  window_->OpenButtonClick();
  EXPECT_EQ(FileBytes(kAccountsFileName), accounts);
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "Home");
  window_->OpenButtonClick();  // closing loads the table: checking starts
  EXPECT_EQ(window_->Table().Count(), 1u);
  EXPECT_TRUE(window_->CheckTimerEnabled());
}

TEST_F(NothingLostTest, SettingsThatCannotBeWrittenBackAreToldOnceAndStartUpGoesOn) {
  AddAccount(TestAccount{});
  settings_.Preset(kProgramKey, "ConnErr", "True");
  settings_.Preset(kProgramKey, "Log", "True");
  settings_.Preset(kRunKey, kRunValueName, "/opt/corvel --MINIMIZE");
  settings_.SetWriteFailure(MemorySettingsStore::WriteFailure::kSetData);
  MainWindowOptions options;
  options.programPath = "/opt/corvel";
  Start(options);
  EXPECT_THAT(view_.Errors(), ElementsAre("Failed to set data for 'qor Corvel'"));
  EXPECT_TRUE(window_->Started());
  EXPECT_EQ(window_->Table().Count(), 1u);
  EXPECT_TRUE(window_->CheckTimerEnabled());
  EXPECT_TRUE(shell_.IconShown());
  // A value the store does not hold yet is still an error of its own.
  view_.SetChecked(Control::BalloonChkBx, true);
  window_->CheckBoxClicked(Control::BalloonChkBx);
  EXPECT_EQ(view_.Errors().size(), 2u);
  window_->Exit1Click();
  AccountTable saved;
  ASSERT_TRUE(LoadAccounts(saved));
  EXPECT_EQ(saved.Count(), 1u);
}

TEST_F(NothingLostTest, AOneShotRunNeverWritesTheLogonEntry) {
  settings_.Preset(kRunKey, kRunValueName, "/usr/bin/corvel-desktop --MINIMIZE");
  MainWindowOptions options;
  options.programPath = "/usr/bin/corvel";
  options.oneShot = true;
  Start(options);
  EXPECT_TRUE(view_.Checked(Control::StartupChkBx));
  EXPECT_EQ(settings_.Peek(kRunKey, kRunValueName), "/usr/bin/corvel-desktop --MINIMIZE");
}

}  // namespace
}  // namespace corvel::test
