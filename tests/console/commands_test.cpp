// The `corvel` command, run in-process: its output, its exit status and the
// files it leaves.
#include "console/commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <langinfo.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "accounts/account_file.h"
#include "accounts/account_options.h"
#include "accounts/account_table.h"
#include "accounts/file_io.h"
#include "accounts/file_lock.h"
#include "app/settings/file_settings_store.h"
#include "console/console_session.h"
#include "console/terminal_text.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/loopback.h"
#include "support/scripted_pop3_server.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using console::Environment;
using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class CommandsTest : public ::testing::Test {
 protected:
  Result Run(std::vector<std::string> arguments, std::string input = {}) {
    std::istringstream in(input);
    Environment environment;
    environment.configFolder = folder_.Path() / "config";
    environment.programPath = "/opt/corvel/bin/corvel";
    environment.in = &in;
    std::ostringstream out;
    std::ostringstream err;
    Result result;
    result.status = console::Main(arguments, environment, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  [[nodiscard]] static AccountRecord Record(std::size_t index) {
    AccountFile file;
    file.Open();
    return file.ReadRecord(index);
  }
  [[nodiscard]] static std::size_t RecordCount() {
    if (!std::filesystem::exists(kAccountsFileName)) return 0;
    AccountFile file;
    file.Open();
    return file.RecordCount();
  }

  Result AddHome(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {
        "accounts",        "add",    "--name", "Home",       "--server",
        "pop.example.org", "--user", "me",     "--password", "pw"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Run(arguments);
  }

  WorkingFolder folder_;
};

TEST_F(CommandsTest, AddStoresAnEnabledAccountWithDefaultsAndAFreshSeenFileName) {
  const Result result = AddHome();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "Account Home added (#0).\n");
  ASSERT_EQ(RecordCount(), 1u);
  const AccountRecord record = Record(0);
  EXPECT_EQ(record.Enabled, 1);
  EXPECT_EQ(record.PlainServer(), "pop.example.org");
  EXPECT_EQ(record.Port, 110);
  EXPECT_EQ(record.Interval, 300);
  EXPECT_EQ(record.PlainPassword(), "pw");
  EXPECT_EQ(record.LeaveMail, 0);
  EXPECT_EQ(record.PlainAuthMethod(), "");
  EXPECT_EQ(record.PlainUidlFileName().size(), 37u);
  EXPECT_EQ(record.PlainUidlFileName().substr(32), ".uidl");
}

TEST_F(CommandsTest, AddTakesTheServiceNameAndRaisesAShortIntervalAndSaysSo) {
  const Result result =
      AddHome({"--port", "pop3", "--interval", "5", "--leave-mail", "--disabled"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "corvel: the interval 5 is raised to 10 seconds, as the editor does\n");
  const AccountRecord record = Record(0);
  EXPECT_EQ(record.Port, 110);  // the service name
  EXPECT_EQ(record.Interval, 10);
  EXPECT_EQ(record.LeaveMail, 1);
  EXPECT_EQ(record.Enabled, 0);
}

TEST_F(CommandsTest, AddRefusesAMissingFieldWithTheEditorsMessageAndWritesNothing) {
  const Result result = Run({"accounts", "add", "--name", "Home", "--user", "me"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "No server specified!\n");
  EXPECT_FALSE(std::filesystem::exists(kAccountsFileName));
  EXPECT_EQ(Run({"accounts", "add", "--server", "s"}).err, "No account name specified!\n");
  EXPECT_EQ(Run({"accounts", "add", "--name", "n", "--server", "s", "--user", "u"}).err,
            "No password specified!\n");
}

TEST_F(CommandsTest, AddRefusesADuplicateNameAndTheHundredAndFirstAccount) {
  ASSERT_EQ(AddHome().status, 0);
  const Result again = AddHome();
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(again.err, "An account with that name already exists!\n");
  EXPECT_EQ(RecordCount(), 1u);
  for (int i = 1; i < 100; ++i) {
    ASSERT_EQ(Run({"accounts", "add", "--name", "A" + std::to_string(i), "--server", "s", "--user",
                   "u", "--password", "p"})
                  .status,
              0);
  }
  const Result full =
      Run({"accounts", "add", "--name", "Z", "--server", "s", "--user", "u", "--password", "p"});
  EXPECT_EQ(full.status, 2);
  EXPECT_THAT(full.err, HasSubstr("100 accounts"));
  EXPECT_EQ(RecordCount(), 100u);
}

TEST_F(CommandsTest, PasswordFromStandardInputLosesItsLineEnd) {
  const Result result =
      Run({"accounts", "add", "--name", "Home", "--server", "s", "--user", "u", "--password-stdin"},
          "s3cret pass\r\nignored\n");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(Record(0).PlainPassword(), "s3cret pass");
}

TEST_F(CommandsTest, SetByNameOrIndexKeepsTheSeenFileAndTheLoginMethod) {
  ASSERT_EQ(AddHome().status, 0);
  AccountFile file;
  file.Open();
  AccountRecord record = file.ReadRecord(0);
  record.SetPlainAuthMethod("MD5");
  file.WriteRecord(0, record);
  const std::string seen = record.PlainUidlFileName();

  Result result = Run({"accounts", "set", "Home", "--name", "Work", "--security", "tls"});
  EXPECT_EQ(result.status, 0) << result.err;
  result = Run({"accounts", "set", "#0", "--port", "995", "--no-leave-mail"});
  EXPECT_EQ(result.status, 0) << result.err;
  const AccountRecord changed = Record(0);
  EXPECT_EQ(changed.PlainAccountName(), "Work");
  EXPECT_EQ(changed.Port, 995);
  EXPECT_EQ(changed.SecurityMode(), 2);
  EXPECT_EQ(changed.PlainUidlFileName(), seen);
  EXPECT_EQ(changed.PlainAuthMethod(), "MD5");
  EXPECT_EQ(changed.PlainPassword(), "pw");

  EXPECT_EQ(Run({"accounts", "set", "Nobody", "--port", "1"}).status, 2);
  EXPECT_EQ(Run({"accounts", "set", "#7", "--port", "1"}).status, 2);
  EXPECT_EQ(Run({"accounts", "set", "Work", "--server", ""}).err, "No server specified!\n");
}

TEST_F(CommandsTest, ClearAuthAndDelete) {
  ASSERT_EQ(AddHome().status, 0);
  ASSERT_EQ(
      Run({"accounts", "add", "--name", "Two", "--server", "s", "--user", "u", "--password", "p"})
          .status,
      0);
  AccountFile file;
  file.Open();
  AccountRecord record = file.ReadRecord(1);
  record.SetPlainAuthMethod("APOP");
  file.WriteRecord(1, record);
  EXPECT_EQ(Run({"accounts", "clear-auth", "Two"}).status, 0);
  EXPECT_EQ(Record(1).PlainAuthMethod(), "");
  EXPECT_EQ(Run({"accounts", "delete", "#0"}).status, 0);
  ASSERT_EQ(RecordCount(), 1u);
  EXPECT_EQ(Record(0).PlainAccountName(), "Two");
}

TEST_F(CommandsTest, ListShowsTheAccountsButNeverAPassword) {
  ASSERT_EQ(AddHome({"--password", "topsecret"}).status, 0);
  const Result result = Run({"accounts", "list"});
  EXPECT_EQ(result.status, 0);
  EXPECT_THAT(result.out, HasSubstr("#0\tHome\tpop.example.org:110\tuser me"));
  EXPECT_THAT(result.out, Not(HasSubstr("topsecret")));
  const Result json = Run({"accounts", "list", "--json"});
  EXPECT_EQ(json.status, 0);
  const auto object = nlohmann::json::parse(json.out);
  EXPECT_EQ(object["name"], "Home");
  EXPECT_EQ(object["port"], 110);
  EXPECT_EQ(object["enabled"], true);
  EXPECT_EQ(object["security"], "auto");
  EXPECT_THAT(json.out, Not(HasSubstr("topsecret")));
}

TEST_F(CommandsTest, ImapAccountsKeepTheirProtocolAndFoldersBesideTheRecord) {
  // A POP3 account writes its record alone, as always.
  ASSERT_EQ(AddHome().status, 0);
  EXPECT_FALSE(std::filesystem::exists(kAccountOptionsFileName));
  Result result =
      Run({"accounts", "add", "--name", "Mail", "--server", "imap.example.org", "--user", "me",
           "--password", "pw", "--protocol", "imap", "--folders", "INBOX, Lists/dev"});
  ASSERT_EQ(result.status, 0) << result.err;
  AccountRecord record = Record(1);
  EXPECT_EQ(record.Port, 143);
  EXPECT_EQ(record.LeaveMail, 1);
  EXPECT_EQ(ReadWholeFile(kAccountOptionsFileName),
            "[" + record.PlainUidlFileName() + "]\nprotocol=imap\nfolders=INBOX,Lists/dev\n");
  result = Run({"accounts", "list"});
  EXPECT_THAT(result.out, HasSubstr("\tprotocol pop3\n"));
  EXPECT_THAT(result.out, HasSubstr("\tprotocol imap\tfolders INBOX,Lists/dev\n"));
  result = Run({"accounts", "list", "--json"});
  const auto mail = nlohmann::json::parse(result.out.substr(result.out.find('\n') + 1));
  EXPECT_EQ(mail["protocol"], "imap");
  EXPECT_EQ(mail["folders"], nlohmann::json::array({"INBOX", "Lists/dev"}));

  // Another protocol forgets the login method found for the old one; an
  // explicit port wins over the protocol's own.
  record.SetPlainAuthMethod("MD5");
  AccountFile file;
  file.Open();
  file.WriteRecord(1, record);
  ASSERT_EQ(Run({"accounts", "set", "Mail", "--protocol", "pop3", "--port", "1995"}).status, 0);
  EXPECT_EQ(Record(1).Port, 1995);
  EXPECT_EQ(Record(1).PlainAuthMethod(), "");
  EXPECT_EQ(ReadWholeFile(kAccountOptionsFileName), "");
  result = Run({"accounts", "set", "Home", "--folders", "INBOX"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(
      result.err,
      "corvel: --folders is for IMAP accounts (--protocol imap) (corvel --help shows the usage)\n");
  EXPECT_EQ(Run({"accounts", "set", "Mail", "--protocol", "imap", "--folders", ","}).err,
            "A folder name cannot be empty!\n");
  EXPECT_EQ(Record(1).Port, 1995);
}

TEST_F(CommandsTest, RefusedInputGetsStatusTwoAndOneLineAndWritesNothing) {
  const std::vector<std::string> add = {"accounts", "add",    "--name", "Home",       "--server",
                                        "s",        "--user", "u",      "--password", "p"};
  const std::vector<std::vector<std::string>> extras = {
      {"--port", "abc"},   {"--port", "70000"},   {"--port", "-1"},
      {"--port", "0"},     {"--interval", "abc"}, {"--interval", "1.5"},
      {"--colour", "red"}, {"--security"},        {"--interval", "--leave-mail"}};
  for (const auto& extra : extras) {
    std::vector<std::string> arguments = add;
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const Result result = Run(arguments);
    EXPECT_EQ(result.status, 2) << extra[0];
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_EQ(Run({"accounts", "add", "--port", "70000"}).err, "No account name specified!\n");
  EXPECT_EQ(Run({"accounts", "add", "--name", "W", "--server", "s", "--user", "u",
                 "--oauth-command", "oama 'access"})
                .err,
            "corvel: --oauth-command cannot be 'oama 'access': a ' is not closed (corvel --help "
            "shows the usage)\n");
  EXPECT_FALSE(std::filesystem::exists(kAccountsFileName));
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"settings", "set", "Colour", "True"},
        {"settings", "set", "StartWithSession", "perhaps"},
        {"settings", "set", "OnNewMail", "notify-send 'New"},
        {"settings", "get", "Colour"}}) {
    EXPECT_EQ(Run(arguments).status, 2) << arguments[2];
  }
  EXPECT_FALSE(std::filesystem::exists(folder_.Path() / "config"));
}

// Input refused only once the accounts file is read (an account that is not
// there, a keyring that is not there) leaves no file either, not even an
// empty one.
TEST_F(CommandsTest, InputRefusedAfterTheFileIsReadLeavesNoFile) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"accounts", "set", "Home", "--port", "995"},
        {"accounts", "delete", "Home"},
        {"accounts", "clear-auth", "#0"},
        {"accounts", "authorize", "Home", "--provider", "google", "--client-id", "id"}}) {
    EXPECT_EQ(Run(arguments).status, 2) << arguments[1];
  }
  // A session bus that is not there: no keyring to keep the password.
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string savedBus = bus != nullptr ? bus : "";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/corvel-test-bus", 1);
  const Result keyring = AddHome({"--secret-store", "keyring"});
  if (bus != nullptr) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", savedBus.c_str(), 1);
  } else {
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  EXPECT_EQ(keyring.status, 2) << keyring.err;
  EXPECT_TRUE(std::filesystem::is_empty(folder_.Path()));
}

TEST_F(CommandsTest, APasswordMayLookLikeAnOptionAndHelpAfterACommandShowsTheUsage) {
  const Result added = AddHome({"--password", "-h"});
  EXPECT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(Record(0).PlainPassword(), "-h");
  const Result help = Run({"accounts", "add", "--name", "Two", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: corvel"));
  EXPECT_EQ(RecordCount(), 1u);
}

TEST_F(CommandsTest, UsageErrorsGetOneLineAndStatusTwo) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"frobnicate"},
                                                    {"check", "--everything"},
                                                    {"accounts"},
                                                    {"accounts", "add", "--name"},
                                                    {"--bogus"},
                                                    {"settings", "set", "Log"},
                                                    {"settings", "set", "Colour", "True"},
                                                    {"settings", "set", "Log", "maybe"}}) {
    const Result result = Run(arguments);
    EXPECT_EQ(result.status, 2) << arguments[0];
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  EXPECT_EQ(Run({"-C", (folder_.Path() / "missing").string(), "accounts", "list"}).status, 2);
}

TEST_F(CommandsTest, HelpAndVersion) {
  EXPECT_THAT(Run({"--help"}).out, HasSubstr("corvel [-C DIR] check"));
  // The commit after the version is checked against the checkout by
  // tests/packaging/version_test.sh.
  EXPECT_THAT(Run({"--version"}).out, ::testing::StartsWith("corvel " CORVEL_PROJECT_VERSION));
}

TEST_F(CommandsTest, SettingNamesIgnoreLetterCaseAndEverySettingListedCanBeSet) {
  EXPECT_EQ(Run({"settings", "set", "log", "yes"}).status, 0);
  EXPECT_EQ(Run({"settings", "get", "LOG"}).out, "True\n");
  EXPECT_EQ(Run({"settings", "set", "startwithsession", "true"}).status, 0);
  EXPECT_EQ(Run({"settings", "set", "OnNewMail", "notify-send 'New mail'"}).status, 0);
  EXPECT_THAT(Run({"settings", "list"}).out,
              HasSubstr("Log=True\nFastListing=True\nCheckDeadline=0\nOnNewMail=notify-send 'New "
                        "mail'\nStartWithSession=True\n"));
  FileSettingsStore store(folder_.Path() / "config");
  store.Open();
  EXPECT_EQ(store.ReadString(kRunKey, kRunValueName, ""), "/opt/corvel/bin/corvel --MINIMIZE");
  EXPECT_EQ(Run({"settings", "set", "StartWithSession", "False"}).status, 0);
  EXPECT_EQ(Run({"settings", "get", "StartWithSession"}).out, "False\n");
}

TEST_F(CommandsTest, WithoutAccountsCheckAndTheRunningProgramSaySoAndCreateNoFile) {
  const Result result = Run({"check"});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err,
              HasSubstr("corvel: No accounts in " + std::filesystem::current_path().string() +
                        ": add one with corvel accounts add"));
  EXPECT_FALSE(std::filesystem::exists(kAccountsFileName));
  // The running program waits for accounts, and says so.
  Environment environment;
  environment.configFolder = folder_.Path() / "config";
  std::ostringstream out;
  std::ostringstream err;
  console::SessionOptions options;
  options.mode = console::SessionOptions::Mode::Program;
  console::ConsoleSession session(environment, out, err, options);
  session.Loop().Post([] { std::raise(SIGTERM); });
  EXPECT_EQ(session.RunProgram(), 0);
  EXPECT_THAT(err.str(), HasSubstr("corvel: running: checking 0 accounts in "));
  EXPECT_THAT(err.str(), HasSubstr("corvel: add one with corvel accounts add"));
}

// Ctrl-C or SIGTERM ends the running program even when the accounts cannot
// be saved at exit: it says why and exits with status 2.
TEST_F(CommandsTest, TheRunningProgramEndsWithStatusTwoWhenTheSaveAtExitFails) {
  std::filesystem::create_directory(LockFileName(kAccountsFileName));
  Environment environment;
  environment.configFolder = folder_.Path() / "config";
  std::ostringstream out;
  std::ostringstream err;
  console::SessionOptions options;
  options.mode = console::SessionOptions::Mode::Program;
  console::ConsoleSession session(environment, out, err, options);
  session.Loop().Post([] { std::raise(SIGTERM); });
  // Only a safety net should the signal be ignored.
  session.Loop().StartTimer(20000, [&session] { session.Loop().Terminate(); });
  EXPECT_EQ(session.RunProgram(), 2);
  EXPECT_THAT(err.str(), HasSubstr("corvel: cannot write the accounts file "));
  EXPECT_THAT(err.str(), HasSubstr("corvel: stopping without saving the accounts\n"));
}

TEST_F(CommandsTest, SettingsAreStoredAsTrueOrFalse) {
  EXPECT_EQ(Run({"settings", "get", "Log"}).out, "False\n");
  EXPECT_EQ(Run({"settings", "set", "Log", "on"}).status, 0);
  EXPECT_EQ(Run({"settings", "get", "Log"}).out, "True\n");
  FileSettingsStore store(folder_.Path() / "config");
  store.Open();
  EXPECT_EQ(store.ReadString(kProgramKey, "Log", ""), "True");
  EXPECT_THAT(Run({"settings", "list"}).out, HasSubstr("Log=True\n"));

  // The values that tune a check: a switch that is on unless set, seconds.
  EXPECT_EQ(Run({"settings", "get", "FastListing"}).out, "True\n");
  EXPECT_EQ(Run({"settings", "set", "FastListing", "False"}).status, 0);
  EXPECT_EQ(Run({"settings", "set", "CheckDeadline", "600"}).status, 0);
  EXPECT_NE(Run({"settings", "set", "CheckDeadline", "soon"}).status, 0);
  EXPECT_NE(Run({"settings", "set", "CheckDeadline", "-1"}).status, 0);
  EXPECT_THAT(Run({"settings", "list"}).out, HasSubstr("FastListing=False\nCheckDeadline=600\n"));
}

class CheckCommandTest : public CommandsTest {
 protected:
  static std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void AddAccountOn(const MailboxPop3Server& server, std::string name = "Home") {
    ASSERT_EQ(Run({"accounts", "add", "--name", name, "--server", "127.0.0.1", "--port",
                   server.PortText(), "--user", "user", "--password", "secret", "--leave-mail"})
                  .status,
              0);
  }
};

TEST_F(CheckCommandTest, OneCheckDiscoversTheMethodAndReportsTheNewMail) {
  MailboxPop3Server server;
  server.AddMessage("m1", "From: Ann\r\nSubject: =?ISO-8859-1?Q?Caf=E9?=\r\nDate: d1\r\n\r\nx\r\n");
  server.AddMessage("m2", "From: Bob\r\nSubject: Two\r\nDate: d2\r\n\r\ny\r\n");
  AddAccountOn(server);
  ASSERT_EQ(Run({"settings", "set", "Balloon", "True"}).status, 0);
  const Result result = Run({"check", "--all-mail"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string size1 = std::to_string(server.Messages()[0].content.size());
  const std::string size2 = std::to_string(server.Messages()[1].content.size());
  EXPECT_EQ(result.out, "Home\tAnn\t" + console::TerminalText("Caf\xE9") + "\td1\t" + size1 +
                            "\tm1\n" + "Home\tBob\tTwo\td2\t" + size2 + "\tm2\n");
  EXPECT_THAT(result.err, HasSubstr("/Home] APOP worked!\n"));
  EXPECT_THAT(result.err, HasSubstr("/Home] 2 new mails! ("));
  EXPECT_THAT(result.err, HasSubstr("balloon: New mail on Home: 2 new mails! ("));
  // The method found and Elapsed 0 are saved, as at exit.
  EXPECT_EQ(Record(0).PlainAuthMethod(), "APOP");
  // The same messages are seen now.
  const Result again = Run({"check", "--quiet"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "");
}

TEST_F(CheckCommandTest, UnreachableOrRefusedAccountsGiveStatusOne) {
  MailboxOptions options;
  options.password = "other";
  MailboxPop3Server refusing(options);
  AddAccountOn(refusing);
  const Result result = Run({"check"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("Could not log in!"));
}

TEST_F(CheckCommandTest, AFileErrorGivesStatusTwoAndNamesTheFileAndTheCause) {
  MailboxPop3Server server;
  server.AddMessage("m1", "From: Ann\r\nSubject: x\r\n\r\nx\r\n");
  AddAccountOn(server);
  const std::string seen = Record(0).PlainUidlFileName();
  std::filesystem::create_directory(seen);  // the seen file is a folder
  const Result result = Run({"check", "--quiet"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "corvel: cannot read the seen-message file " +
                            (std::filesystem::current_path() / seen).string() +
                            ": Is a directory\n");
}

TEST_F(CheckCommandTest, EveryFailedAccountGetsItsReasonAndJsonHasOneObjectPerRowOrFailure) {
  MailboxPop3Server good;
  good.AddMessage("m1", "From: Ann\r\nSubject: =?ISO-8859-1?Q?Caf=E9?=\r\nDate: d1\r\n\r\nx\r\n");
  AddAccountOn(good, "Good");
  MailboxOptions options;
  options.password = "other";
  MailboxPop3Server refusing(options);
  AddAccountOn(refusing, "Refusing");
  const std::string closed = std::to_string(ClosedLoopbackPort());
  ASSERT_EQ(Run({"accounts", "add", "--name", "Closed", "--server", "127.0.0.1", "--port", closed,
                 "--user", "u", "--password", "p"})
                .status,
            0);
  ASSERT_EQ(Run({"settings", "set", "Log", "True"}).status, 0);

  const Result result = Run({"check", "--json", "--all-mail", "--quiet"});
  EXPECT_EQ(result.status, 1);
  EXPECT_THAT(result.err, HasSubstr("corvel: Refusing: no login method worked"));
  EXPECT_THAT(result.err, HasSubstr("corvel: Closed: cannot connect to 127.0.0.1:" + closed +
                                    ": Connection refused\n"));
  // --quiet: nothing but the two reasons, although the Log setting is on.
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
  std::vector<nlohmann::json> objects;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(objects.size(), 3u) << result.out;
  EXPECT_EQ(objects[0]["kind"], "message");
  EXPECT_EQ(objects[0]["account"], "Good");
  EXPECT_EQ(objects[0]["subject"], "Caf\u00e9");
  EXPECT_EQ(objects[0]["bytes"], good.Messages()[0].content.size());
  EXPECT_EQ(objects[0]["uidl"], "m1");
  EXPECT_EQ(objects[1]["kind"], "failure");
  EXPECT_EQ(objects[1]["account"], "Refusing");
  EXPECT_EQ(objects[1]["outcome"], "login");
  EXPECT_EQ(objects[2]["outcome"], "connect");
}

TEST_F(CheckCommandTest, TheRunningProgramSaysWhatItChecksAndTellsAFailingAccountOnce) {
  const std::string closed = std::to_string(ClosedLoopbackPort());
  ASSERT_EQ(Run({"accounts", "add", "--name", "Closed", "--server", "127.0.0.1", "--port", closed,
                 "--user", "u", "--password", "p"})
                .status,
            0);
  Environment environment;
  environment.configFolder = folder_.Path() / "config";
  std::ostringstream out;
  std::ostringstream err;
  console::SessionOptions options;
  options.mode = console::SessionOptions::Mode::Program;
  console::ConsoleSession session(environment, out, err, options);
  // Three checks of the failing account, then stopped the way Ctrl-C stops it.
  session.Loop().Post([&session] {
    for (int check = 0; check < 3; ++check) (void)session.Window().Checker().CheckAccount(0);
    std::raise(SIGTERM);
  });
  EXPECT_EQ(session.RunProgram(), 0);
  EXPECT_EQ(err.str(), "corvel: running: checking 1 account in " +
                           std::filesystem::current_path().string() +
                           ", each when its interval has passed; Ctrl-C or SIGTERM stops it\n"
                           "corvel: Closed: cannot connect to 127.0.0.1:" +
                           closed + ": Connection refused\n");
  EXPECT_EQ(out.str(), "");
}

TEST_F(CheckCommandTest, TheRunningProgramEndsWithStatusTwoAfterAStartUpError) {
  FileSettingsStore store(folder_.Path() / "config");
  store.Open();
  store.WriteString(kProgramKey, "H", "tall");
  store.WriteString(kProgramKey, "W", "1");
  store.WriteString(kProgramKey, "Top", "1");
  store.WriteString(kProgramKey, "Left", "1");
  store.Close();
  MailboxPop3Server server;
  AddAccountOn(server);
  const Result result = Run({"--log"});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, HasSubstr("corvel: 'tall' is not a valid integer value\n"));
}

// A check reads the settings and writes none back: a `settings set` made
// while it runs stays, and a settings file that cannot be written is no
// reason to say anything.
TEST_F(CheckCommandTest, CheckWritesNoSettingAndLeavesTheLogonEntryAlone) {
  MailboxPop3Server server;
  AddAccountOn(server);
  FileSettingsStore store(folder_.Path() / "config");
  store.SetProgramFolder("/home/ann/mail");
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel-desktop --MINIMIZE");
  store.WriteString(kProgramKey, "ConnErr", "True");
  store.WriteString(kProgramKey, "Balloon", "True");
  const std::string entry = FileText(store.AutostartFile());
  const std::string settings = FileText(store.SettingsFile());
  // The settings file can be read but no longer replaced.
  std::filesystem::create_directory(LockFileName(store.SettingsFile()));

  const Result result = Run({"check"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("/Home] APOP worked!\n"));
  EXPECT_THAT(result.err, Not(HasSubstr("Failed to set")));
  EXPECT_EQ(FileText(store.SettingsFile()), settings);
  EXPECT_EQ(FileText(store.AutostartFile()), entry);
  EXPECT_EQ(Record(0).PlainAuthMethod(), "APOP");
}

TEST_F(CheckCommandTest, DemoRunsTheWholeTourOnItsOwnServer) {
  const Result result = Run({"demo"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("CramMD5 worked!"));
  EXPECT_THAT(result.out, HasSubstr("3 new mails! ("));
  EXPECT_THAT(result.out, HasSubstr("No messages, quitting..."));
  EXPECT_THAT(result.out, HasSubstr("2 new mails! ("));
  EXPECT_THAT(result.out, HasSubstr("holds 5 identifiers"));
}

// Nothing but printable text, tabs and line ends: no C0 control and no DEL;
// in UTF-8 no C1 control either, in a single-byte set no byte 0x80..0x9F.
bool Printable(const std::string& text, bool utf8) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F || (!utf8 && c >= 0x80 && c < 0xA0) ||
        (utf8 && c == 0xC2 && next >= 0x80 && next < 0xA0)) {
      return false;
    }
  }
  return true;
}

// What a server or a stranger's header sends never reaches the terminal as a
// control character (an escape, a bell, a tab inside a column, a C1 control):
// in the C locale (taken as UTF-8), in a UTF-8 one and in a single-byte one
// (made with localedef where none is installed); JSON escapes DEL and the C1
// controls too.
TEST_F(CheckCommandTest, NothingPrintedCarriesAControlCharacterInAnyLocale) {
  MailboxPop3Server server;
  server.AddMessage("m1",
                    "From: Ann\x7F <ann@example.org>\r\nSubject: \x1B[31mred\x07 \xC2\x9B"
                    "2J =?UTF-8?Q?=1B]0;title=07?=\r\nDate: Mon,\t1 Jan 2024\x1B[2J\r\n\r\nx\r\n");
  AddAccountOn(server);
  Pop3Script refusal;
  refusal.Send("+OK ready");
  for (int i = 0; i < 12; ++i)
    refusal.ReceiveLine().Send("-ERR \x1B[2J\x1B]0;owned\x07 no\x7F\xC2\x9B");
  ScriptedPop3Server refusing(std::vector<Pop3Script>(4, refusal));
  ASSERT_EQ(Run({"accounts", "add", "--name", "Bad", "--server", "127.0.0.1", "--port",
                 refusing.PortText(), "--user", "u", "--password", "p"})
                .status,
            0);
  const std::string locales = (folder_.Path() / "locales").string();
  std::filesystem::create_directory(locales);
  ::setenv("LOCPATH", locales.c_str(), 1);
  (void)std::system(
      ("localedef -i en_US -f ISO-8859-1 " + locales + "/en_US.ISO-8859-1 >/dev/null 2>&1")
          .c_str());
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  for (const char* locale : {"C", "C.UTF-8", "en_US.ISO-8859-1"}) {
    ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
    const bool utf8 = std::string(nl_langinfo(CODESET)) != "ISO-8859-1";
    std::filesystem::remove(Record(0).PlainUidlFileName());  // the message is new again
    const Result result = Run({"check", "--all-mail"});
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\t'), 5) << result.out;
    EXPECT_TRUE(Printable(result.out, utf8)) << locale << ": " << result.out;
    EXPECT_THAT(result.err, HasSubstr("corvel: Bad: "));
    EXPECT_TRUE(Printable(result.err, utf8)) << locale << ": " << result.err;
  }
  std::setlocale(LC_ALL, previous.c_str());
  ::unsetenv("LOCPATH");
  const Result json = Run({"check", "--json", "--quiet"});
  EXPECT_TRUE(Printable(json.out, true)) << json.out;
  EXPECT_THAT(json.out, HasSubstr(R"("reason":"no login method worked)"));
}

}  // namespace
}  // namespace corvel::test
