// The check cycle as a user sees it: the log, the "New mail" list, the
// balloons and the tray, with real POP3 sessions against servers on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "accounts/file_io.h"
#include "accounts/file_lock.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/scripted_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Mail(std::string_view from, std::string_view subject, std::string_view date = "x") {
  return "From: " + std::string(from) + "\r\nSubject: " + std::string(subject) +
         "\r\nDate: " + std::string(date) + "\r\n\r\nbody line\r\nsecond body line\r\n";
}

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class CheckCycleTest : public MainWindowTest {
 protected:
  TestAccount AccountOn(const MailboxPop3Server& server, std::string name = "Home") {
    TestAccount account;
    account.name = std::move(name);
    account.port = server.PortText();
    account.user = "user";
    account.password = "secret";
    return account;
  }
};

TEST_F(CheckCycleTest, EmptyTableTickOnlyDisablesAndEnablesTheTimer) {
  Start();
  EXPECT_FALSE(window_->CheckTimerEnabled());  // no accounts: checking never started
  Tick();
  EXPECT_TRUE(window_->CheckTimerEnabled());
  EXPECT_THAT(LogEntries(), ElementsAre("|Corvel! v0.6 started..."));
}

TEST_F(CheckCycleTest, DiscoveryWithUserPassOnlyTriesEveryAuthMethodInOrder) {
  MailboxOptions options;
  options.timestamp.clear();
  options.allowCramSha1 = options.allowCramMd5 = options.allowLogin = options.allowApop = false;
  MailboxPop3Server server(options);
  AddAccount(AccountOn(server));
  Start();
  Tick();
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Trying to figure out AUTH type...", "Trying CramSHA1...",
                          "Trying CramMD5...", "Trying AUTH LOGIN...",
                          "Trying with cleartext user/pass...", "Cleartext user/pass worked...",
                          "Saving AUTH type and logging out...", "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "NONE");
  // No mail is looked for on a check that ran the discovery; it is looked for
  // right after it, not an interval later.
  for (const std::string& command : server.Commands()) EXPECT_NE(command, "STAT");
  EXPECT_EQ(window_->Scheduler().WaitMs(), 0u);
  Tick(0);
  EXPECT_THAT(server.Commands(), ::testing::Contains("STAT"));
}

TEST_F(CheckCycleTest, DiscoveryTakesApopWhenTheGreetingHasATimestamp) {
  MailboxPop3Server server;
  AddAccount(AccountOn(server));
  Start();
  Tick();
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Trying to figure out AUTH type...", "Trying APOP.", "APOP worked!",
                          "Saving AUTH type and logging out...", "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "APOP");
  for (const std::string& command : server.Commands()) {
    EXPECT_EQ(command.find("AUTH"), std::string::npos);
  }
}

TEST_F(CheckCycleTest, RefusedApopOnAnOpenConnectionGoesOnWithTheAuthChain) {
  Pop3Script script;
  script.Send("+OK ready <1.2@host>")
      .ReceiveLine()  // APOP
      .Send("-ERR no")
      .Expect("AUTH CRAM-SHA1")
      .Send("-ERR unsupported")
      .Expect("AUTH CRAM-MD5")
      .Send("-ERR unsupported")
      .Expect("AUTH LOGIN")
      .Send("+ VXNlcm5hbWU6")
      .ReceiveLine()
      .Send("+ UGFzc3dvcmQ6")
      .ReceiveLine()
      .Send("+OK welcome")
      .Expect("QUIT")
      .Send("+OK bye")
      .Close();
  ScriptedPop3Server server(std::move(script));
  TestAccount account;
  account.port = server.PortText();
  AddAccount(account);
  Start();
  Tick();
  EXPECT_THAT(server.Failures(), IsEmpty());
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Trying to figure out AUTH type...", "Trying APOP.",
                          "APOP did not disconnect...", "Trying CramSHA1...", "Trying CramMD5...",
                          "Trying AUTH LOGIN...", "AUTH LOGIN worked!",
                          "Saving AUTH type and logging out...", "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "LOGIN");
}

TEST_F(CheckCycleTest, ApopThatDropsTheConnectionAndAFailedReconnectLetsTheTickGoOn) {
  // The server drops the connection on APOP without a word: APOP has failed
  // and the connection is gone.
  Pop3Script script;
  script.Send("+OK ready <1.2@host>").ReceiveLine().Close();
  auto server = std::make_unique<ScriptedPop3Server>(std::move(script));
  MailboxPop3Server second;
  TestAccount first;
  first.name = "First";
  first.port = server->PortText();
  AddAccount(first);
  AddAccount(AccountOn(second, "Second"));
  Start();
  // The reconnection finds nobody listening once the scripted server is gone.
  const std::string port = server->PortText();
  window_->Pop3().OnSessionClosed = [&](std::uint16_t) { server.reset(); };
  Tick();
  EXPECT_THAT(LogOf("First"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Trying to figure out AUTH type...", "Trying APOP.",
                          "APOP disconnected, connect again.",
                          "cannot connect to 127.0.0.1:" + port + ": Connection refused",
                          "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "");
  // The next account due is still checked in the same tick.
  EXPECT_EQ(LogOf("Second").front(), "Trying to connect to 127.0.0.1");
  EXPECT_EQ(window_->Table()[1].PlainAuthMethod(), "APOP");
}

TEST_F(CheckCycleTest, StoredMethodThatFailsIsLoggedAndKept) {
  MailboxOptions options;
  options.allowCramMd5 = false;
  MailboxPop3Server server(options);
  TestAccount account = AccountOn(server);
  account.authMethod = "MD5";
  AddAccount(account);
  Start();
  Tick();
  EXPECT_THAT(LogOf("Home"), ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                                         "Logging in using CramMD5...", "CramMD5 login failed!",
                                         "the server refused the login (AUTH CRAM-MD5): -ERR "
                                         "Unsupported authentication mechanism.",
                                         "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "MD5");
}

TEST_F(CheckCycleTest, StoredMethodOtherThanTheKeywordsLogsInWithUserAndPass) {
  MailboxPop3Server server;
  TestAccount account = AccountOn(server);
  account.authMethod = "PLAIN";
  AddAccount(account);
  Start();
  Tick();
  const auto log = LogOf("Home");
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[2], "Logging in with regular cleartext user/pass...");
  EXPECT_EQ(log[3], "Logged in!");
}

TEST_F(CheckCycleTest, CompleteCramMd5CheckWithTwoNewMessages) {
  MailboxPop3Server server;
  server.AddMessage("uid-1", Mail("Ann", "One"));
  server.AddMessage("uid-2", Mail("Bob", "Two"));
  TestAccount account = AccountOn(server);
  account.authMethod = "MD5";
  AddAccount(account);
  Start();
  Tick();
  const std::string bytes =
      std::to_string(server.Messages()[0].content.size() + server.Messages()[1].content.size());
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Logging in using CramMD5...", "Logged in!",
                          "2 new mails! (" + bytes + " bytes)", "Logged out from 127.0.0.1..."));
  EXPECT_TRUE(window_->Flags().NewMailPending);
}

TEST_F(CheckCycleTest, TrayTooltipSaysWhatIsPendingAndWhatFailsPerAccount) {
  MailboxPop3Server server;
  server.AddMessage("uid-1", Mail("Ann", "One"));
  server.AddMessage("uid-2", Mail("Bob", "Two"));
  TestAccount home = AccountOn(server);
  home.authMethod = "MD5";
  home.interval = 2;  // due at the second tick, Work at the first
  AddAccount(home);
  TestAccount work = AccountOn(server, "Work");
  work.port = ClosedPort();
  AddAccount(work);
  Start();
  EXPECT_EQ(shell_.ShownEntry().tip, "Corvel! v0.6");
  Tick();
  Tick();
  EXPECT_EQ(shell_.ShownEntry().tip, "Home: 2 new mails; Work: cannot connect");
  // Looked at: only the failure is left.
  window_->TrayDblClick();
  EXPECT_EQ(shell_.ShownEntry().tip, "Work: cannot connect");
}

TEST_F(CheckCycleTest, LeaveMailAccountReportsEachMessageOnceOverSeveralChecks) {
  MailboxPop3Server server;
  server.AddMessage("a", Mail("Ann", "First"));
  server.AddMessage("b", Mail("Bob", "Second"));
  server.AddMessage("c", Mail("Cy", "Third"));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  account.uidlFileName = "0123456789ABCDEF0123456789ABCDEF.uidl";
  AddAccount(account);
  Start();

  Tick();
  EXPECT_EQ(ReadFile(account.uidlFileName), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(LogOf("Home")[4].rfind("3 new mails! (", 0), 0u);

  window_->LogMemo() = LogMemoModel();
  Tick();
  EXPECT_EQ(LogOf("Home")[4], "No messages, quitting...");
  EXPECT_EQ(ReadFile(account.uidlFileName), "a\r\nb\r\nc\r\n");

  server.AddMessage("d", Mail("Di", "Fourth"));
  window_->LogMemo() = LogMemoModel();
  Tick();
  EXPECT_EQ(LogOf("Home")[4].rfind("1 new mails! (", 0), 0u);
  EXPECT_EQ(ReadFile(account.uidlFileName), "a\r\nb\r\nc\r\nd\r\n");
}

TEST_F(CheckCycleTest, SeenFileKeepsOldEntriesAndNormalisesLineEnds) {
  MailboxPop3Server server;
  server.AddMessage("b", Mail("Bob", "Second"));
  server.AddMessage("a", Mail("Ann", "First"));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  account.uidlFileName = "seen.uidl";
  AddAccount(account);
  ReplaceFileAtomically("seen.uidl", std::string("gone\nA\ra\r\n\nb", 12));
  Start();
  Tick();
  // "a" and "b" were seen; "A" is another identifier; nothing is removed.
  EXPECT_EQ(LogOf("Home")[4], "No messages, quitting...");
  EXPECT_EQ(ReadFile("seen.uidl"), "gone\r\nA\r\na\r\n\r\nb\r\n");
}

TEST_F(CheckCycleTest, EmptyMailboxNeitherCreatesNorReadsTheSeenFile) {
  MailboxPop3Server server;
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  account.uidlFileName = "empty.uidl";
  AddAccount(account);
  Start();
  Tick();
  EXPECT_EQ(LogOf("Home")[4], "No messages, quitting...");
  EXPECT_FALSE(std::filesystem::exists("empty.uidl"));
}

TEST_F(CheckCycleTest, WholeMailboxAccountReportsTheSameMessagesEveryCheckListedOnce) {
  MailboxPop3Server server;
  server.AddMessage("u1", Mail("Ann", "Hello"));
  server.AddMessage("u2", Mail("Bob", "Again"));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  account.leaveMail = false;
  AddAccount(account);
  settings_.Preset(kProgramKey, "AllMail", "True");
  settings_.Preset(kProgramKey, "Balloon", "True");
  Start();
  Tick();
  Tick();
  EXPECT_EQ(LogOf("Home")[4], "2 new mails!");
  ASSERT_EQ(window_->MailList().Count(), 2u);
  EXPECT_EQ(window_->MailList().Rows()[0].uidl, "u1");
  EXPECT_EQ(window_->MailList().Rows()[1].uidl, "u2");
  const auto balloons = Balloons();
  ASSERT_EQ(balloons.size(), 2u);
  const std::string bytes =
      std::to_string(server.Messages()[0].content.size() + server.Messages()[1].content.size());
  EXPECT_EQ(balloons[1].title, "New mail on Home");
  EXPECT_EQ(balloons[1].text, "You have 2 new messages! (" + bytes + " bytes)");
  EXPECT_EQ(balloons[1].icon, BalloonIcon::kInformation);
  EXPECT_EQ(balloons[1].timeoutMs, 15000u);
}

TEST_F(CheckCycleTest, WholeMailboxWithoutAllMailSendsNothingAfterStat) {
  MailboxPop3Server server;
  server.AddMessage("u1", Mail("Ann", "Hello"));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  account.leaveMail = false;
  AddAccount(account);
  Start();
  Tick();
  const auto commands = server.Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[commands.size() - 2], "STAT");
  EXPECT_EQ(commands.back(), "QUIT");
  ASSERT_EQ(window_->MailList().Count(), 1u);
  const MailRow& row = window_->MailList().Rows()[0];
  EXPECT_EQ(row.account, "Home");
  EXPECT_EQ(row.from, "");
  EXPECT_EQ(row.subject, "One new mail!");
  EXPECT_EQ(row.date, kFixedDateTime);
  EXPECT_EQ(row.uidl, "");
}

TEST_F(CheckCycleTest, AllMailRowsShowDecodedSenderAndSubjectInMessageOrder) {
  MailboxPop3Server server;
  server.AddMessage(
      "m1", Mail("=?ISO-8859-1?Q?J=F6rg?= <j@x>", "=?iso-8859-1?q?Gr=FC=DFe?=", "Mon, 7 Dec 2026"));
  server.AddMessage("m2", Mail("Ann", "=?UTF-8?B?SGVsbG8=?="));
  server.AddMessage("m3", Mail("Bob", "=?ISO-8859-1?Q?bad=ZZ?="));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  AddAccount(account);
  settings_.Preset(kProgramKey, "AllMail", "True");
  Start();
  Tick();
  const auto& rows = window_->MailList().Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].from, "J\xF6rg <j@x>");
  EXPECT_EQ(rows[0].subject,
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(rows[0].date, "Mon, 7 Dec 2026");
  EXPECT_EQ(rows[0].bytes, std::to_string(server.Messages()[0].content.size()));
  EXPECT_EQ(rows[0].uidl, "m1");
  EXPECT_EQ(rows[1].subject, "=?UTF-8?B?SGVsbG8=?=");
  EXPECT_EQ(rows[0].rawFrom, "=?ISO-8859-1?Q?J=F6rg?= <j@x>");
  EXPECT_EQ(rows[1].rawSubject, "=?UTF-8?B?SGVsbG8=?=");
  // A malformed encoded word from a stranger is shown as it came and the
  // check goes on.
  EXPECT_EQ(rows[2].subject, "=?ISO-8859-1?Q?bad=ZZ?=");
  EXPECT_THAT(view_.Errors(), IsEmpty());
  EXPECT_TRUE(window_->CheckTimerEnabled());
}

TEST_F(CheckCycleTest, OverviewRowsMoveToTheEndWhileNewsArePending) {
  MailboxPop3Server first;
  MailboxPop3Server second;
  first.AddMessage("a1", Mail("Ann", "x"));
  second.AddMessage("b1", Mail("Bob", "y"));
  second.AddMessage("b2", Mail("Bob", "z"));
  TestAccount one = AccountOn(first, "One");
  one.authMethod = "NONE";
  one.interval = 2;
  TestAccount two = AccountOn(second, "Two");
  two.authMethod = "NONE";
  AddAccount(one);
  AddAccount(two);
  Start();
  Tick();  // One counts 1; Two is due and checked
  Tick();  // One is due and checked; the tick ends there
  ASSERT_EQ(window_->MailList().Count(), 2u);
  EXPECT_EQ(window_->MailList().Rows()[0].account, "Two");
  EXPECT_EQ(window_->MailList().Rows()[0].subject, "2 new mails!");
  EXPECT_EQ(window_->MailList().Rows()[1].account, "One");
  EXPECT_EQ(window_->MailList().Rows()[1].subject, "One new mail!");

  second.AddMessage("b3", Mail("Bob", "again"));
  Tick();  // Two is due again and has news: its row moves to the end
  ASSERT_EQ(window_->MailList().Count(), 2u);
  EXPECT_EQ(window_->MailList().Rows()[0].account, "One");
  EXPECT_EQ(window_->MailList().Rows()[1].account, "Two");
  EXPECT_EQ(window_->MailList().Rows()[1].subject, "One new mail!");
}

TEST_F(CheckCycleTest, TwoAccountsDueTheFirstReachableTheSecondFollowsAtOnce) {
  MailboxPop3Server first;
  MailboxPop3Server second;
  TestAccount one = AccountOn(first, "One");
  one.authMethod = "NONE";
  one.interval = 2;
  TestAccount two = AccountOn(second, "Two");
  two.authMethod = "NONE";
  two.interval = 2;
  AddAccount(one);
  AddAccount(two);
  Start();
  Tick();
  EXPECT_THAT(LogOf("One"), IsEmpty());
  Tick();
  EXPECT_FALSE(LogOf("One").empty());
  EXPECT_THAT(LogOf("Two"), IsEmpty());
  // Two counted its second all the same, and its turn comes at once.
  EXPECT_EQ(window_->Table()[1].Elapsed, 2);
  EXPECT_EQ(window_->Scheduler().WaitMs(), 0u);
  Tick(0);
  EXPECT_FALSE(LogOf("Two").empty());
  EXPECT_EQ(window_->Table()[0].Elapsed, 0);
}

TEST_F(CheckCycleTest, TwoAccountsDueTheFirstUnreachableBothAreHandledInOneTick) {
  MailboxPop3Server second;
  TestAccount one;
  one.name = "One";
  one.port = ClosedPort();
  one.authMethod = "NONE";
  TestAccount two = AccountOn(second, "Two");
  two.authMethod = "NONE";
  AddAccount(one);
  AddAccount(two);
  Start();
  Tick();
  EXPECT_THAT(LogOf("One"),
              ElementsAre("Trying to connect to 127.0.0.1",
                          "cannot connect to 127.0.0.1:" + one.port + ": Connection refused",
                          "Logged out from 127.0.0.1..."));
  EXPECT_EQ(LogOf("Two").back(), "Logged out from 127.0.0.1...");
}

TEST_F(CheckCycleTest, ConnectionErrorBalloonIsShownOncePerOutageNamingTheAccount) {
  TestAccount dead;
  dead.name = "Dead";
  dead.port = ClosedPort();
  dead.authMethod = "NONE";
  AddAccount(dead);
  settings_.Preset(kProgramKey, "ConnErr", "True");
  Start();
  Tick();
  Tick();
  const auto balloons = Balloons();
  ASSERT_EQ(balloons.size(), 1u);
  EXPECT_EQ(balloons[0].title, "Connection error!");
  EXPECT_EQ(balloons[0].text,
            "Dead: cannot connect to 127.0.0.1:" + dead.port + ": Connection refused");
  EXPECT_EQ(balloons[0].icon, BalloonIcon::kError);
}

TEST_F(CheckCycleTest, FailedConnectionWithTheBoxOffKeepsTheBalloonArmed) {
  TestAccount dead;
  dead.name = "Dead";
  dead.port = ClosedPort();
  dead.authMethod = "NONE";
  AddAccount(dead);
  Start();
  Tick();
  EXPECT_THAT(Balloons(), IsEmpty());
  view_.SetChecked(Control::ConnErrChkBx, true);
  window_->CheckBoxClicked(Control::ConnErrChkBx);
  Tick();
  EXPECT_EQ(Balloons().size(), 1u);
}

TEST_F(CheckCycleTest, DisabledAccountNeverCountsAndIntervalBelowOneIsNeverDue) {
  MailboxPop3Server server;
  TestAccount off = AccountOn(server, "Off");
  off.enabled = false;
  TestAccount never = AccountOn(server, "Never");
  never.interval = 0;
  AddAccount(off);
  AddAccount(never);
  Start();
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_EQ(window_->Table()[0].Elapsed, 0);
  EXPECT_EQ(window_->Table()[1].Elapsed, 3);
  EXPECT_EQ(server.SessionCount(), 0u);
}

TEST_F(CheckCycleTest, TicksDoNothingWhileTheEditorIsOpen) {
  MailboxPop3Server server;
  TestAccount account = AccountOn(server);
  account.interval = 5;
  AddAccount(account);
  Start();
  window_->OpenButtonClick();
  EXPECT_FALSE(window_->CheckTimerEnabled());
  Tick();
  EXPECT_FALSE(window_->CheckTimerEnabled());
  window_->OpenButtonClick();
  EXPECT_TRUE(window_->CheckTimerEnabled());
  EXPECT_EQ(window_->Table()[0].Elapsed, 0);
}

TEST_F(CheckCycleTest, NewMailWhileInTheTrayAnimatesTheIconUntilTheUserLooks) {
  MailboxPop3Server server;
  server.AddMessage("x", Mail("Ann", "Hi"));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  AddAccount(account);
  Start();
  EXPECT_FALSE(window_->FormClose());
  EXPECT_TRUE(window_->Flags().WindowInTray);
  EXPECT_FALSE(view_.WindowVisible());
  Tick();
  ASSERT_NE(window_->Tray(), nullptr);
  EXPECT_TRUE(window_->Tray()->CycleIcons());
  window_->TrayClick();
  EXPECT_FALSE(window_->Tray()->CycleIcons());
  EXPECT_EQ(window_->Tray()->Icon(), TrayPicture::kApplication);
  EXPECT_EQ(view_.CurrentTab(), MainTab::NewMail);
  EXPECT_TRUE(view_.WindowVisible());
  EXPECT_FALSE(window_->Flags().NewMailPending);
}

TEST_F(CheckCycleTest, SeenFileThatCannotBeWrittenShowsTheErrorAndStopsChecking) {
  MailboxPop3Server server;
  server.AddMessage("new", Mail("Ann", "Hi"));
  TestAccount account = AccountOn(server);
  account.authMethod = "NONE";
  account.uidlFileName = "blocked.uidl";
  AddAccount(account);
  ReplaceFileAtomically("blocked.uidl", "old\r\n");
  // A folder where the file's lock must go makes every write fail, also
  // for root.
  std::filesystem::create_directory(LockFileName("blocked.uidl"));
  Start();
  Tick();
  ASSERT_EQ(view_.Errors().size(), 1u);
  EXPECT_EQ(LogOf("Home").back(), "Logged out from 127.0.0.1...");
  EXPECT_FALSE(window_->CheckTimerEnabled());
  EXPECT_EQ(ReadFile("blocked.uidl"), "old\r\n");
}

TEST_F(CheckCycleTest, ServerThatClaimsAHugeMailboxAndLeavesDoesNotHoldTheCheck) {
  Pop3Script script;
  script.Send("+OK hi")
      .Expect("USER user")
      .Send("+OK")
      .Expect("PASS secret")
      .Send("+OK")
      .Expect("STAT")
      .Send("+OK 2000000000 1")
      .Expect("UIDL")
      .Close();
  ScriptedPop3Server server(std::move(script));
  TestAccount account;
  account.port = server.PortText();
  account.authMethod = "NONE";
  account.uidlFileName = "huge.uidl";
  AddAccount(account);
  Start();
  Tick();
  EXPECT_EQ(LogOf("Home").back(), "Logged out from 127.0.0.1...");
  EXPECT_TRUE(window_->CheckTimerEnabled());
}

TEST_F(CheckCycleTest, AccountWithoutAUsableSeenFileNameGetsAFreshOne) {
  MailboxPop3Server server;
  server.AddMessage("one", Mail("Ann", "Hi"));
  for (const std::string& stored : {std::string(), std::string("../outside.uidl")}) {
    TestAccount account = AccountOn(server, stored.empty() ? "NoName" : "Escaping");
    account.authMethod = "NONE";
    AddAccount(account);
    AccountFile file;
    file.Open();
    AccountRecord record = file.ReadRecord(file.RecordCount() - 1);
    record.SetPlainUidlFileName(stored);
    file.WriteRecord(file.RecordCount() - 1, record);
  }
  Start();
  Tick();  // NoName
  Tick();  // NoName again (interval 1): the table walk starts at the first
  const std::string given = window_->Table()[0].PlainUidlFileName();
  EXPECT_EQ(given, MakeUidlFileName("NoName", 123456));
  EXPECT_EQ(ReadFile(given), "one\r\n");
  window_->Table()[0].Enabled = 0;
  Tick();  // Escaping
  EXPECT_FALSE(std::filesystem::exists(folder_.Path().parent_path() / "outside.uidl"));
  EXPECT_EQ(window_->Table()[1].PlainUidlFileName(), MakeUidlFileName("Escaping", 123456));
  EXPECT_THAT(view_.Errors(), IsEmpty());
}

TEST_F(CheckCycleTest, SeenFileNameOfAnotherFileIsReplacedAndThatFileLeftAlone) {
  MailboxPop3Server server;
  server.AddMessage("one", Mail("Ann", "Hi"));
  const std::vector<std::string> names = {"mail.accounts.qor", "mail.oauth.qor", "Corvel.conf",
                                          "a.uidl.lock",       "a.uidl.tmp",     ".uidl",
                                          "CON.uidl",          "nul .UIDL",      "com7.uidl",
                                          "a?.uidl",           "a\x01.uidl",     "Kept.UIDL"};
  // The files of those names that are files, devices and impossible names aside.
  const std::vector<std::string> files = {"mail.oauth.qor", "Corvel.conf", "a.uidl.lock",
                                          "a.uidl.tmp",     ".uidl",       "Kept.UIDL"};
  for (const std::string& name : files) ReplaceFileAtomically(name, "not a seen list");
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    TestAccount account = AccountOn(server, "A" + std::to_string(i));
    account.authMethod = "NONE";
    account.uidlFileName = name;
    account.interval = 100000;  // checked here only, never by the timer
    AddAccount(account);
  }
  Start();
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(window_->Checker().CheckAccount(i), CheckOutcome::Checked);
    const std::string given = window_->Table()[i].PlainUidlFileName();
    if (names[i] == "Kept.UIDL") {
      EXPECT_EQ(given, "Kept.UIDL");
      continue;
    }
    EXPECT_EQ(given, MakeUidlFileName("A" + std::to_string(i), 123456));
    EXPECT_EQ(ReadFile(given), "one\r\n");
    EXPECT_THAT(
        LogOf("A" + std::to_string(i)),
        ::testing::Contains("The seen-message file name was not one of Corvel's; now " + given));
  }
  // Still the accounts, whatever the program may have stored into them.
  AccountTable saved;
  ASSERT_TRUE(LoadAccounts(saved));
  EXPECT_EQ(saved.Count(), names.size());
  for (const std::string& name : files) {
    EXPECT_EQ(ReadFile(name),
              name == "Kept.UIDL" ? "not a seen list\r\none\r\n" : "not a seen list");
  }
}

TEST_F(CheckCycleTest, EditorClosedDuringACheckKeepsTheCheckOutOfTheReloadedTable) {
  MailboxPop3Server server;
  TestAccount first = AccountOn(server, "First");
  AddAccount(first);  // its login method is still to be found
  TestAccount second = AccountOn(server, "Second");
  second.authMethod = "LOGIN";
  second.interval = 100;
  AddAccount(second);
  Start();
  // While the discovery of "First" waits for the server, the user opens the
  // editor, deletes "First" and closes the editor: "Second" moves up.
  bool edited = false;
  window_->Pop3().OnDisplay = [&](const std::string& line) {
    if (edited || line.rfind("> APOP", 0) != 0) return;
    edited = true;
    window_->OpenButtonClick();
    window_->btnDeleteClick();
    window_->OpenButtonClick();
  };
  Tick();
  ASSERT_TRUE(edited);
  ASSERT_EQ(window_->Table().Count(), 1u);
  EXPECT_EQ(window_->Table()[0].PlainAccountName(), "Second");
  // The method found for "First" did not land on "Second".
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "LOGIN");
  EXPECT_EQ(LogOf("First").back(), "Logged out from 127.0.0.1...");
}

}  // namespace
}  // namespace corvel::test
