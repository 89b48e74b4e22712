// The account editor on the "Accounts" tab: captions, enabled buttons, the
// messages, and the accounts file as it stands on disk after each button.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

#include "main_window_fixture.h"
#include "memory_keyring.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class AccountEditorTest : public MainWindowTest {
 protected:
  void Fill(std::string_view name, std::string_view server = "pop.example.org",
            std::string_view port = "110", std::string_view user = "me",
            std::string_view password = "pw", std::string_view interval = "300") {
    view_.SetText(Control::AccountNameEdit, name);
    view_.SetText(Control::ServerEdit, server);
    view_.SetText(Control::PortEdit, port);
    view_.SetText(Control::UserEdit, user);
    view_.SetText(Control::PassEdit, password);
    view_.SetText(Control::SecsEdit, interval);
  }

  [[nodiscard]] std::vector<std::string> NamesOnDisk() const {
    AccountFile file;
    file.Open();
    std::vector<std::string> names;
    for (std::size_t i = 0; i < file.RecordCount(); ++i) {
      names.push_back(file.ReadRecord(i).PlainAccountName());
    }
    return names;
  }

  [[nodiscard]] AccountRecord RecordOnDisk(std::size_t index) const {
    AccountFile file;
    file.Open();
    return file.ReadRecord(index);
  }

  [[nodiscard]] bool Enabled(Control control) const { return view_.ControlEnabled(control); }

  void AddThree() {
    for (const char* name : {"One", "Two", "Three"}) {
      TestAccount account;
      account.name = name;
      AddAccount(account);
    }
  }
};

TEST_F(AccountEditorTest, OpeningOnAMissingFileCreatesItEmptyWithOnlyNewAndUpdateUsable) {
  Start();
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Text(Control::OpenButton), "Close accts.");
  EXPECT_TRUE(std::filesystem::exists(kAccountsFileName));
  EXPECT_EQ(std::filesystem::file_size(kAccountsFileName), 0u);
  EXPECT_EQ(view_.Text(Control::lblNOTE),
            "NOTE: Program disabled when accounts are being edited!\r\n"
            "Remember to click \"update\" on each account, or else changes will not be saved!\r\n"
            "This goes for the authentication clearing as well...");
  for (Control c : {Control::btnDelete, Control::btnClearAuth, Control::btnFirst, Control::btnPrev,
                    Control::btnNext, Control::btnLast}) {
    EXPECT_FALSE(Enabled(c));
  }
  EXPECT_TRUE(Enabled(Control::btnNew));
  EXPECT_TRUE(Enabled(Control::btnUpdate));
  EXPECT_TRUE(Enabled(Control::AccountNameEdit));
  EXPECT_EQ(view_.Text(Control::btnUpdate), "Update");
}

TEST_F(AccountEditorTest, AnUnwritableFileIsToldOnceAndTheEditorShowsItReadOnly) {
  AddThree();
  // A folder where the file's lock belongs: nothing can write the file, not
  // even an administrator. (Windows keeps the lock file of the writes above.)
  const std::string lockName = std::string(kAccountsFileName) + ".lock";
  std::filesystem::remove(lockName);
  std::filesystem::create_directory(lockName);
  Start();
  for (int i = 0; i < 2; ++i) {
    window_->OpenButtonClick();
    EXPECT_EQ(view_.Text(Control::OpenButton), "Close accts.");
    EXPECT_EQ(view_.Text(Control::AccountNameEdit), "One");
    EXPECT_EQ(view_.Text(Control::lblNOTE).rfind("The accounts file cannot be written (", 0), 0u);
    for (Control c : {Control::btnUpdate, Control::btnNew, Control::btnDelete,
                      Control::btnClearAuth, Control::AccountNameEdit, Control::PassEdit}) {
      EXPECT_FALSE(Enabled(c));
    }
    window_->btnNextClick();
    EXPECT_EQ(view_.Text(Control::AccountNameEdit), "Two");
    EXPECT_FALSE(Enabled(Control::btnDelete));
    window_->OpenButtonClick();
    EXPECT_EQ(view_.Text(Control::OpenButton), "Open accts.");
  }
  ASSERT_EQ(view_.Errors().size(), 1u);
  EXPECT_THAT(LogOf(""), ::testing::Contains(view_.Errors()[0]));
  EXPECT_THAT(view_.Confirmations(), IsEmpty());
}

TEST_F(AccountEditorTest, ClosingAsksBeforeDroppingChangesNotSavedWithUpdate) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnNextClick();
  window_->OpenButtonClick();
  EXPECT_THAT(view_.Confirmations(), IsEmpty());

  window_->OpenButtonClick();
  view_.SetText(Control::ServerEdit, "typed.example.org");
  view_.SetConfirmAnswer(false);
  window_->OpenButtonClick();
  EXPECT_THAT(view_.Confirmations(),
              ElementsAre("The changes to this account were not saved with \"Update\". Close "
                          "the editor and drop them?"));
  EXPECT_EQ(view_.Text(Control::OpenButton), "Close accts.");
  EXPECT_EQ(view_.Text(Control::ServerEdit), "typed.example.org");
  window_->btnUpdateClick();
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Confirmations().size(), 1u);
  EXPECT_EQ(view_.Text(Control::OpenButton), "Open accts.");
  EXPECT_EQ(RecordOnDisk(0).PlainServer(), "typed.example.org");

  // The login and the Quiet box are the account's fields too.
  window_->OpenButtonClick();
  view_.SetChecked(Control::QuietChkBx, true);
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Confirmations().size(), 2u);
  EXPECT_EQ(view_.Text(Control::OpenButton), "Close accts.");
}

TEST_F(AccountEditorTest, OpeningShowsTheFirstRecordAndTheNavigationStates) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "One");
  EXPECT_EQ(view_.Text(Control::PassEdit), "secret");
  EXPECT_EQ(view_.Text(Control::SecsEdit), "1");
  EXPECT_FALSE(Enabled(Control::btnFirst));
  EXPECT_FALSE(Enabled(Control::btnPrev));
  EXPECT_TRUE(Enabled(Control::btnNext));
  EXPECT_TRUE(Enabled(Control::btnLast));
  EXPECT_TRUE(Enabled(Control::btnDelete));
}

TEST_F(AccountEditorTest, NewAddThenUpdateWritesOneRecord) {
  Start();
  window_->OpenButtonClick();
  window_->btnNewClick();
  EXPECT_EQ(view_.Text(Control::btnUpdate), "Add acct.");
  EXPECT_EQ(view_.Text(Control::PortEdit), "110");
  EXPECT_EQ(view_.Text(Control::SecsEdit), "300");
  EXPECT_FALSE(Enabled(Control::btnNew));
  EXPECT_FALSE(Enabled(Control::btnNext));
  Fill("Home");
  view_.SetChecked(Control::EnableAccChkBx, true);
  window_->btnUpdateClick();
  EXPECT_EQ(view_.Text(Control::btnUpdate), "Update");
  EXPECT_THAT(NamesOnDisk(), ElementsAre("Home"));
  const AccountRecord added = RecordOnDisk(0);
  EXPECT_EQ(added.Enabled, 1);
  EXPECT_EQ(added.Port, 110);
  EXPECT_EQ(added.Interval, 300);
  EXPECT_EQ(added.PlainAuthMethod(), "");
  EXPECT_EQ(added.PlainUidlFileName(), MakeUidlFileName("Home", 123456));
  ASSERT_EQ(shell_.CallsOf(TrayShellCallKind::kShowBalloon).size(), 1u);
  EXPECT_EQ(shell_.ShownBalloon().title, "Account updated");
  EXPECT_EQ(shell_.ShownBalloon().text, "Account Home updated!");

  view_.SetText(Control::ServerEdit, "pop.changed.org");
  window_->btnUpdateClick();
  EXPECT_THAT(NamesOnDisk(), ElementsAre("Home"));
  EXPECT_EQ(RecordOnDisk(0).PlainServer(), "pop.changed.org");
  EXPECT_THAT(view_.Informations(), IsEmpty());
}

TEST_F(AccountEditorTest, ValidationMessagesComeInOrderAndNothingIsWritten) {
  Start();
  window_->OpenButtonClick();
  window_->btnNewClick();
  view_.SetText(Control::SecsEdit, "");
  const char* expected[] = {"No account name specified!", "No server specified!",
                            "No port specified!",         "No user name specified!",
                            "No password specified!",     "No interval specified!"};
  view_.SetText(Control::PortEdit, "");
  const Control fields[] = {Control::AccountNameEdit, Control::ServerEdit, Control::PortEdit,
                            Control::UserEdit,        Control::PassEdit,   Control::SecsEdit};
  for (int i = 0; i < 6; ++i) {
    window_->btnUpdateClick();
    ASSERT_EQ(view_.Informations().size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(view_.Informations().back(), expected[i]);
    view_.SetText(fields[i], i == 2 ? "x110" : "x");
  }
  // A port or interval that cannot be stored is refused in the same way.
  window_->btnUpdateClick();
  EXPECT_EQ(view_.Informations().back(),
            "The port must be a whole number from 1 to 65535, not 'x110'!");
  view_.SetText(Control::PortEdit, "70000");
  window_->btnUpdateClick();
  EXPECT_EQ(view_.Informations().back(),
            "The port must be a whole number from 1 to 65535, not '70000'!");
  view_.SetText(Control::PortEdit, "pop3s");
  window_->btnUpdateClick();
  EXPECT_EQ(view_.Informations().back(),
            "The interval must be a whole number of seconds, not 'x'!");
  EXPECT_EQ(view_.Informations().size(), 9u);
  EXPECT_EQ(std::filesystem::file_size(kAccountsFileName), 0u);
  view_.SetText(Control::SecsEdit, "5");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).Port, 995);
  EXPECT_EQ(RecordOnDisk(0).Interval, 5);  // the box clamps only when it loses the focus
}

TEST_F(AccountEditorTest, DuplicateNamesAreRefusedButAnAccountKeepsItsOwnName) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnUpdateClick();  // "One" under its own name
  EXPECT_THAT(view_.Informations(), IsEmpty());
  view_.SetText(Control::AccountNameEdit, "Two");
  window_->btnUpdateClick();
  EXPECT_THAT(view_.Informations(), ElementsAre("An account with that name already exists!"));
  EXPECT_THAT(NamesOnDisk(), ElementsAre("One", "Two", "Three"));
  window_->btnNewClick();
  Fill("Three");
  window_->btnUpdateClick();
  EXPECT_EQ(view_.Informations().size(), 2u);
  EXPECT_EQ(NamesOnDisk().size(), 3u);
}

TEST_F(AccountEditorTest, RenameKeepsTheSeenFileNameAndTheLoginMethod) {
  TestAccount account;
  account.authMethod = "MD5";
  account.uidlFileName = "KEEP.uidl";
  AddAccount(account);
  Start();
  window_->OpenButtonClick();
  view_.SetText(Control::AccountNameEdit, "Renamed");
  window_->btnUpdateClick();
  const AccountRecord record = RecordOnDisk(0);
  EXPECT_EQ(record.PlainAccountName(), "Renamed");
  EXPECT_EQ(record.PlainUidlFileName(), "KEEP.uidl");
  EXPECT_EQ(record.PlainAuthMethod(), "MD5");
}

TEST_F(AccountEditorTest, ClearAuthThenUpdateWritesAnEmptyMethod) {
  TestAccount account;
  account.authMethod = "APOP";
  AddAccount(account);
  Start();
  window_->OpenButtonClick();
  window_->btnClearAuthClick();
  EXPECT_EQ(RecordOnDisk(0).PlainAuthMethod(), "APOP");  // nothing written yet
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).PlainAuthMethod(), "");
}

TEST_F(AccountEditorTest, ClearAuthIsLostWhenMovingToAnotherRecordFirst) {
  TestAccount one;
  one.name = "One";
  one.authMethod = "APOP";
  AddAccount(one);
  TestAccount two;
  two.name = "Two";
  AddAccount(two);
  Start();
  window_->OpenButtonClick();
  window_->btnClearAuthClick();
  window_->btnNextClick();
  window_->btnPrevClick();
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).PlainAuthMethod(), "APOP");
}

TEST_F(AccountEditorTest, DeletingTheMiddleRecordShowsTheFormerThird) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnNextClick();
  window_->btnDeleteClick();
  EXPECT_THAT(view_.Confirmations(), ElementsAre("Delete this account?"));
  EXPECT_THAT(NamesOnDisk(), ElementsAre("One", "Three"));
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "Three");
}

TEST_F(AccountEditorTest, DeletingTheLastRecordShowsTheNewLast) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnLastClick();
  window_->btnDeleteClick();
  EXPECT_THAT(NamesOnDisk(), ElementsAre("One", "Two"));
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "Two");
}

TEST_F(AccountEditorTest, DeletingTheOnlyRecordClearsTheFormAndEmptiesTheFile) {
  TestAccount account;
  AddAccount(account);
  Start();
  window_->OpenButtonClick();
  window_->btnDeleteClick();
  EXPECT_EQ(std::filesystem::file_size(kAccountsFileName), 0u);
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "");
  EXPECT_EQ(view_.Text(Control::PortEdit), "110");
  EXPECT_EQ(view_.Text(Control::SecsEdit), "300");
  for (Control c : {Control::btnDelete, Control::btnClearAuth, Control::btnFirst, Control::btnPrev,
                    Control::btnNext, Control::btnLast}) {
    EXPECT_FALSE(Enabled(c));
  }
  // A new account typed into the empty form gets a fresh seen-file name and
  // no login method.
  Fill("Fresh");
  window_->btnUpdateClick();
  EXPECT_THAT(NamesOnDisk(), ElementsAre("Fresh"));
  EXPECT_EQ(RecordOnDisk(0).PlainUidlFileName(), MakeUidlFileName("Fresh", 123456));
  EXPECT_EQ(RecordOnDisk(0).PlainAuthMethod(), "");
}

// Another program (a `corvel accounts` beside the window) changes the file
// while the editor shows it: each button changes the file as it is then, in
// the account it shows (known by its seen-message file name), and no account
// the other program deleted comes back.
TEST_F(AccountEditorTest, EachButtonChangesTheFileAsAnotherProgramLeftIt) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnNextClick();
  ASSERT_EQ(view_.Text(Control::AccountNameEdit), "Two");

  auto elsewhere = [](const std::function<void(AccountFile&)>& change) {
    AccountFile other;
    other.Edit(change);
  };
  elsewhere([](AccountFile& records) {
    records.DeleteRecord(0);
    AccountRecord two = records.ReadRecord(0);
    two.SetPlainAuthMethod("APOP");
    records.WriteRecord(0, two);
  });
  TestAccount four;
  four.name = "Four";
  AddAccount(four);
  view_.SetText(Control::ServerEdit, "pop.elsewhere.org");
  window_->btnUpdateClick();
  EXPECT_THAT(NamesOnDisk(), ElementsAre("Two", "Three", "Four"));
  EXPECT_EQ(RecordOnDisk(0).PlainServer(), "pop.elsewhere.org");
  EXPECT_EQ(RecordOnDisk(0).PlainAuthMethod(), "APOP");

  elsewhere([](AccountFile& records) { records.DeleteRecord(1); });
  window_->btnDeleteClick();
  EXPECT_THAT(NamesOnDisk(), ElementsAre("Four"));
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "Four");

  elsewhere([](AccountFile& records) { records.DeleteRecord(0); });
  view_.SetText(Control::ServerEdit, "pop.gone.org");
  window_->btnUpdateClick();
  EXPECT_THAT(view_.Informations(), ElementsAre(kAccountGoneMessage));
  EXPECT_THAT(NamesOnDisk(), IsEmpty());
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

TEST_F(AccountEditorTest, DeleteAnsweredNoChangesNothing) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  view_.SetConfirmAnswer(false);
  window_->btnDeleteClick();
  EXPECT_EQ(NamesOnDisk().size(), 3u);
}

TEST_F(AccountEditorTest, NextOnTheLastRecordOnlyDisablesNextAndLast) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnLastClick();
  view_.SetText(Control::AccountNameEdit, "typed but not saved");
  window_->btnNextClick();
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "typed but not saved");
  EXPECT_FALSE(Enabled(Control::btnNext));
  EXPECT_FALSE(Enabled(Control::btnLast));
  EXPECT_TRUE(Enabled(Control::btnFirst));
  EXPECT_TRUE(Enabled(Control::btnPrev));
}

TEST_F(AccountEditorTest, PreviousAndFirstWalkBack) {
  AddThree();
  Start();
  window_->OpenButtonClick();
  window_->btnLastClick();
  window_->btnPrevClick();
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "Two");
  EXPECT_TRUE(Enabled(Control::btnPrev));
  window_->btnFirstClick();
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "One");
  EXPECT_FALSE(Enabled(Control::btnFirst));
  EXPECT_FALSE(Enabled(Control::btnPrev));
  EXPECT_TRUE(Enabled(Control::btnNext));
}

TEST_F(AccountEditorTest, TheHundredthAccountIsTheLast) {
  for (int i = 0; i < 100; ++i) {
    TestAccount account;
    account.name = "A" + std::to_string(i);
    AddAccount(account);
  }
  Start();
  window_->OpenButtonClick();
  window_->btnNewClick();
  Fill("One too many");
  window_->btnUpdateClick();
  ASSERT_EQ(view_.Informations().size(), 1u);
  EXPECT_NE(view_.Informations()[0].find("100 accounts"), std::string::npos);
  EXPECT_EQ(NamesOnDisk().size(), 100u);
}

TEST_F(AccountEditorTest, IntervalBoxIsClampedWhenItLosesTheFocus) {
  Start();
  window_->OpenButtonClick();
  const std::pair<const char*, const char*> cases[] = {
      {"5", "10"}, {"-3", "10"}, {"10", "10"}, {"99999999999", "2147483647"}, {"", ""}};
  for (const auto& [typed, shown] : cases) {
    view_.SetText(Control::SecsEdit, typed);
    window_->SecsEditExit();
    EXPECT_EQ(view_.Text(Control::SecsEdit), shown) << typed;
  }
}

TEST_F(AccountEditorTest, ClosingReloadsTheTableAndResumesChecking) {
  Start();
  window_->OpenButtonClick();
  window_->btnNewClick();
  Fill("Home");
  window_->btnUpdateClick();
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Text(Control::OpenButton), "Open accts.");
  EXPECT_EQ(view_.Text(Control::lblNOTE), "");
  EXPECT_FALSE(Enabled(Control::AccountNameEdit));
  EXPECT_FALSE(Enabled(Control::btnUpdate));
  EXPECT_EQ(view_.Text(Control::AccountNameEdit), "");
  EXPECT_EQ(view_.Text(Control::PortEdit), "110");
  EXPECT_EQ(window_->Table().Count(), 1u);
  EXPECT_TRUE(window_->CheckTimerEnabled());
}

TEST_F(AccountEditorTest, ExitWhileTheEditorIsOpenKeepsWhatTheEditorWrote) {
  TestAccount account;
  AddAccount(account);
  Start();
  window_->OpenButtonClick();
  window_->btnNewClick();
  Fill("Added in the editor");
  window_->btnUpdateClick();
  window_->Exit1Click();
  EXPECT_THAT(NamesOnDisk(), ElementsAre("Home", "Added in the editor"));
  EXPECT_TRUE(loop_.Terminated());
}

}  // namespace
}  // namespace corvel::test

namespace corvel::test {
namespace {

// A password typed over the marker of a keyring account goes to the
// keyring, never into the file; an OAuth2 account with "Password" chosen
// and one typed becomes a password account; a new account takes nothing from
// the record shown before, and keeps its password in the keyring there is.
TEST_F(AccountEditorTest, PasswordsTypedForSecretsOutsideTheFile) {
  for (auto [name, login, place, marker] :
       {std::tuple{"Kept", LoginKind::loginPassword, SecretPlace::secretKeyring, kKeyringMarker},
        std::tuple{"Token", LoginKind::loginOAuthCommand, SecretPlace::secretFile, kOAuthMarker}}) {
    TestAccount account;
    account.name = name;
    account.password = std::string(marker);
    AddAccount(account);
    AccountFile file;
    file.Open();
    AccountRecord record = file.ReadRecord(file.RecordCount() - 1);
    record.SetLogin(login);
    record.SetSecretIn(place);
    file.WriteRecord(file.RecordCount() - 1, record);
  }
  auto keyring = std::make_shared<MemoryKeyring>();
  MainWindowOptions options;
  options.keyring = keyring;
  Start(std::move(options));
  window_->OpenButtonClick();
  view_.SetText(Control::PassEdit, "new-pw");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).PlainPassword(), kKeyringMarker);
  EXPECT_EQ(keyring->secrets[MemoryKeyring::Name(KeyringKeyOf(RecordOnDisk(0)))], "new-pw");

  window_->btnNextClick();
  window_->btnNewClick();
  Fill("Fresh");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(2).Login(), LoginKind::loginPassword);
  EXPECT_EQ(RecordOnDisk(2).SecretIn(), SecretPlace::secretKeyring);
  EXPECT_EQ(keyring->secrets[MemoryKeyring::Name(KeyringKeyOf(RecordOnDisk(2)))], "pw");

  window_->btnPrevClick();
  EXPECT_EQ(view_.Text(Control::LoginBox), "Token command\u2026");
  view_.SetText(Control::LoginBox, "Password");
  window_->LoginBoxChange();
  view_.SetChecked(Control::KeyringChkBx, false);
  view_.SetText(Control::PassEdit, "pw2");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(1).Login(), LoginKind::loginPassword);
  EXPECT_EQ(RecordOnDisk(1).PlainPassword(), "pw2");
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

}  // namespace
}  // namespace corvel::test
