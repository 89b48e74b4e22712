// The `corvel` command, run in-process: its output, its exit status and the
// files it leaves.
#include "console/commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "accounts/account_file.h"
#include "accounts/account_table.h"
#include "accounts/file_io.h"
#include "app/file_settings_store.h"
#include "console/terminal_text.h"
#include "pop3_server/mailbox_pop3_server.h"
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

TEST_F(CommandsTest, AddFollowsTheEditorsFallbacksAndClamp) {
  const Result result =
      AddHome({"--port", "pop3", "--interval", "5", "--leave-mail", "--disabled"});
  EXPECT_EQ(result.status, 0) << result.err;
  const AccountRecord record = Record(0);
  EXPECT_EQ(record.Port, 110);  // not a number: the editor's fallback
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
  EXPECT_EQ(Run({"--version"}).out, "corvel 0.6\n");
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
  const Result result = Run({"check", "--all-mail"});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string size1 = std::to_string(server.Messages()[0].content.size());
  const std::string size2 = std::to_string(server.Messages()[1].content.size());
  EXPECT_EQ(result.out, console::TerminalText("Home\tAnn\tCaf\xE9\td1\t" + size1 + "\tm1\n") +
                            "Home\tBob\tTwo\td2\t" + size2 + "\tm2\n");
  EXPECT_THAT(result.err, HasSubstr("/Home] APOP worked!\n"));
  EXPECT_THAT(result.err, HasSubstr("/Home] 2 new mails! ("));
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

TEST_F(CheckCommandTest, AFileErrorGivesStatusTwo) {
  MailboxPop3Server server;
  server.AddMessage("m1", "From: Ann\r\nSubject: x\r\n\r\nx\r\n");
  AddAccountOn(server);
  std::filesystem::create_directory(Record(0).PlainUidlFileName());  // the seen file is a folder
  const Result result = Run({"check"});
  EXPECT_EQ(result.status, 2);
  EXPECT_THAT(result.err, HasSubstr("error: "));
}

TEST_F(CheckCommandTest, CheckLeavesTheLogonEntryAloneAndGoesOnWhenASettingCannotBeWrittenBack) {
  MailboxPop3Server server;
  AddAccountOn(server);
  FileSettingsStore store(folder_.Path() / "config");
  store.SetProgramFolder("/home/ann/mail");
  store.WriteString(kRunKey, kRunValueName, "/usr/bin/corvel-desktop --MINIMIZE");
  store.WriteString(kProgramKey, "ConnErr", "True");
  store.WriteString(kProgramKey, "Balloon", "True");
  const std::string entry = FileText(store.AutostartFile());
  // The settings file can be read but no longer replaced.
  std::filesystem::create_directory(TemporaryFileName(store.SettingsFile()));

  const Result result = Run({"check"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("/Home] APOP worked!\n"));
  // Said once for both boxes, and the check went on.
  EXPECT_THAT(result.err, HasSubstr("error: Failed to set data for 'ConnErr'\n"));
  EXPECT_EQ(result.err.find("error: "), result.err.rfind("error: ")) << result.err;
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

}  // namespace
}  // namespace corvel::test
