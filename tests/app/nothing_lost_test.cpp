// What the program must never lose or undo: the accounts after a start-up
// that stopped half-way, start-up itself over a setting it cannot write back,
// the logon entry of another program, the changes another process makes to
// the accounts file; and checks that must not run inside one another.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "accounts/file_io.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/scripted_pop3_server.h"
#include "support/system_event_loop.h"

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

// Another process (`corvel accounts ...`) changing the accounts file.
void EditElsewhere(const std::function<void(AccountFile&)>& edit) {
  AccountFile file;
  file.Open();
  edit(file);
}

TEST_F(NothingLostTest, TheProgramStartedWithoutAccountsFindsThoseAddedElsewhere) {
  MailboxPop3Server server;
  MainWindowOptions options;
  options.longRunning = true;
  Start(options);
  EXPECT_TRUE(window_->CheckTimerEnabled());
  TestAccount added;
  added.port = server.PortText();
  added.authMethod = "NONE";
  AddAccount(added);
  Tick();
  EXPECT_THAT(LogOf("Home"), ::testing::Contains("Logged in!"));
}

TEST_F(NothingLostTest, AccountsChangedElsewhereAreCheckedAndKeptAtExit) {
  MailboxPop3Server server;
  TestAccount home;
  home.interval = 100;
  home.authMethod = "NONE";
  AddAccount(home);
  Start();
  Tick();
  TestAccount added;
  added.name = "Added";
  added.port = server.PortText();
  added.authMethod = "NONE";
  AddAccount(added);
  EditElsewhere([](AccountFile& file) {
    AccountRecord record = file.ReadRecord(0);
    record.SetPlainServer("pop.elsewhere.example");
    file.WriteRecord(0, record);
  });
  Tick();
  EXPECT_THAT(LogOf("Added"), ::testing::Contains("Logged in!"));
  EXPECT_EQ(window_->Table()[0].Elapsed, 2);  // Home kept its count
  window_->Exit1Click();
  AccountTable saved;
  ASSERT_TRUE(LoadAccounts(saved));
  ASSERT_EQ(saved.Count(), 2u);
  EXPECT_EQ(saved[0].PlainServer(), "pop.elsewhere.example");
  EXPECT_EQ(saved[1].PlainAccountName(), "Added");
}

TEST_F(NothingLostTest, AMethodFoundIsStoredIntoTheFileAsAnotherProcessLeftIt) {
  MailboxPop3Server server;
  TestAccount home;
  home.port = server.PortText();
  AddAccount(home);
  TestAccount gone;
  gone.name = "Gone";
  gone.interval = 100;
  AddAccount(gone);
  Start();
  // While the discovery runs, another process deletes "Gone" and adds "New".
  bool edited = false;
  window_->Pop3().OnDisplay = [&](const std::string& line) {
    if (edited || line.rfind("> APOP", 0) != 0) return;
    edited = true;
    EditElsewhere([](AccountFile& file) { file.DeleteRecord(1); });
    TestAccount added;
    added.name = "New";
    AddAccount(added);
  };
  Tick();
  ASSERT_TRUE(edited);
  AccountTable stored;
  ASSERT_TRUE(LoadAccounts(stored));
  ASSERT_EQ(stored.Count(), 2u);
  EXPECT_EQ(stored[0].PlainAuthMethod(), "APOP");
  EXPECT_EQ(stored[1].PlainAccountName(), "New");
  EXPECT_EQ(window_->Table().Count(), 2u);
  EXPECT_EQ(window_->Table()[1].PlainAccountName(), "New");
}

TEST_F(NothingLostTest, ACheckBesideAnotherOfTheSameAccountAddsToTheSeenFile) {
  MailboxPop3Server server;
  server.AddMessage("m1", "From: a\r\nSubject: s\r\n\r\nx\r\n");
  TestAccount home;
  home.port = server.PortText();
  home.authMethod = "NONE";
  home.uidlFileName = "home.uidl";
  AddAccount(home);
  Start();
  // The other process's check ends while this one waits for the server.
  window_->Pop3().OnDisplay = [&](const std::string& line) {
    if (line.rfind("> UIDL", 0) == 0) ReplaceFileAtomically("home.uidl", "seen-elsewhere\r\n");
  };
  Tick();
  EXPECT_EQ(FileBytes("home.uidl"), "seen-elsewhere\r\nm1\r\n");
}

TEST_F(NothingLostTest, AServerGoneAtThe150thOf400HeadersLeavesTheRestForTheNextCheck) {
  // 400 new messages, their headers pipelined; the server closes when it is
  // asked for the 150th.
  constexpr int kMessages = 400;
  Pop3Script script;
  script.Send("+OK hi").Expect("USER user").Send("+OK").Expect("PASS secret").Send("+OK");
  script.Expect("STAT").Send("+OK 400 40000").Expect("UIDL").Send("+OK");
  script.SendGenerated(kMessages, [](std::size_t i) {
    return std::to_string(i + 1) + " m" + std::to_string(i + 1);
  });
  script.Send(".").Expect("LIST").Send("+OK");
  script.SendGenerated(kMessages, [](std::size_t i) { return std::to_string(i + 1) + " 100"; });
  script.Send(".").Expect("CAPA").Send("+OK").Send("PIPELINING").Send(".");
  for (int n = 1; n < 150; ++n) {
    script.Expect("TOP " + std::to_string(n) + " 1");
    script.Send("+OK").Send("From: a").Send("Subject: " + std::to_string(n)).Send("").Send(".");
  }
  script.Expect("TOP 150 1").Close();
  ScriptedPop3Server cut(std::move(script));
  MailboxPop3Server whole;
  for (int n = 1; n <= kMessages; ++n) {
    whole.AddMessage("m" + std::to_string(n),
                     "From: a\r\nSubject: " + std::to_string(n) + "\r\n\r\nx\r\n");
  }
  for (const std::string& port : {cut.PortText(), whole.PortText()}) {
    TestAccount account;
    account.port = port;
    account.authMethod = "NONE";
    account.uidlFileName = "home.uidl";
    account.interval = 100000;  // checked here only, never by the timer
    AddAccount(account);
  }
  settings_.Preset(kProgramKey, "AllMail", "True");
  Start();

  // Closed with the later commands unread, the connection may be reset and
  // the last answers sent lost on the way: the rows are those of the first
  // k headers that arrived, k at most 149.
  EXPECT_EQ(window_->Checker().CheckAccount(0), CheckOutcome::EndedEarly);
  const std::size_t shown = window_->MailList().Count();
  ASSERT_LE(shown, 149u);
  const std::vector<std::string> log = LogOf("Home");
  EXPECT_EQ(log[log.size() - 2].rfind("the check ended early: ", 0), 0u);
  if (shown > 0) {
    EXPECT_EQ(log[log.size() - 3],
              std::to_string(shown) + " new mails! (" + std::to_string(shown * 100) + " bytes)");
  }
  window_->MailList().Clear();
  EXPECT_EQ(window_->Checker().CheckAccount(1), CheckOutcome::Checked);
  EXPECT_EQ(window_->Checker().LastReport().newCount, 400 - static_cast<std::int64_t>(shown));
  ASSERT_EQ(window_->MailList().Count(), 400 - shown);
  EXPECT_EQ(window_->MailList().Rows()[0].subject, std::to_string(shown + 1));
  SeenList seen;
  seen.LoadFromFile("home.uidl");
  ASSERT_EQ(seen.Count(), 400u);
  for (std::size_t i = 0; i < seen.Count(); ++i) EXPECT_EQ(seen[i], "m" + std::to_string(i + 1));
  EXPECT_THAT(cut.Failures(), ::testing::IsEmpty());
}

TEST_F(NothingLostTest, ASecondLongRunningProgramInTheSameFolderIsRefused) {
  MainWindowOptions options;
  options.longRunning = true;
  Start(options);
  ASSERT_TRUE(window_->Started());
  SystemEventLoop otherLoop;
  InMemoryMainView otherView;
  RecordingTrayShell otherShell;
  MemorySettingsStore otherSettings;
  MainWindow other(otherLoop, otherView, otherShell, otherSettings, locale_, options);
  other.FormCreate();
  EXPECT_THAT(otherView.Errors(), ElementsAre(kAlreadyRunningMessage));
  EXPECT_TRUE(otherLoop.Terminated());
  EXPECT_FALSE(other.Started());
  EXPECT_FALSE(otherShell.IconShown());
  // A one-shot check beside it is no second program.
  MainWindowOptions check;
  check.oneShot = true;
  MainWindow checker(otherLoop, otherView, otherShell, otherSettings, locale_, check);
  checker.FormCreate();
  EXPECT_TRUE(checker.Started());
}

TEST_F(NothingLostTest, EditorClosedDuringACheckRestartsTheTimerOnlyWhenTheTickHasEnded) {
  MailboxPop3Server slow;
  slow.AddMessage("s1", "From: a\r\nSubject: slow\r\n\r\nx\r\n");
  MailboxPop3Server fast;
  fast.AddMessage("f1", "From: b\r\nSubject: fast\r\n\r\ny\r\n");
  TestAccount first;
  first.name = "Slow";
  first.port = slow.PortText();
  first.authMethod = "NONE";
  AddAccount(first);
  TestAccount second;
  second.name = "Fast";
  second.port = fast.PortText();
  second.authMethod = "NONE";
  AddAccount(second);
  settings_.Preset(kProgramKey, "Balloon", "True");
  Start();
  bool timerOnInside = true;
  bool edited = false;
  window_->Pop3().OnDisplay = [&](const std::string& line) {
    if (edited || line != "> STAT") return;
    edited = true;
    window_->OpenButtonClick();
    window_->OpenButtonClick();
    timerOnInside = window_->CheckTimerEnabled();
    Tick();  // as the timer would, were it running
  };
  Tick();
  ASSERT_TRUE(edited);
  EXPECT_FALSE(timerOnInside);
  EXPECT_TRUE(window_->CheckTimerEnabled());
  EXPECT_THAT(LogOf("Fast"), ::testing::IsEmpty());
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(Balloons()[0].title, "New mail on Slow");
}

}  // namespace
}  // namespace corvel::test
