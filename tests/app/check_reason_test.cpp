// The report of every check: the reason of a failed one, from what the client
// knows, beside a log that stays as it was.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "main_window_fixture.h"
#include "support/scripted_pop3_server.h"
#include "support/wait_for.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

class CheckReasonTest : public MainWindowTest {
 protected:
  // Checks one account on the script's server; its reports.
  std::vector<CheckReport> CheckOn(Pop3Script script, std::string authMethod) {
    ScriptedPop3Server server(std::move(script));
    TestAccount account;
    account.port = server.PortText();
    account.authMethod = std::move(authMethod);
    AddAccount(account);
    MainWindowOptions options;
    options.pop3Timeout = 1;
    Start(std::move(options));
    std::vector<CheckReport> reports;
    window_->OnCheckFinished = [&](const CheckReport& report) { reports.push_back(report); };
    Tick();
    return reports;
  }
};

TEST_F(CheckReasonTest, EachFailureCarriesTheClientsReason) {
  struct Case {
    const char* name;
    Pop3Script script;
    const char* authMethod;
    CheckOutcome outcome;
    std::string reason;
  };
  Case cases[] = {
      {"silent", Pop3Script().StaySilent(), "NONE", CheckOutcome::ConnectFailed,
       "the server did not greet within 1 s; port 995-style servers need --security tls"},
      {"busy", Pop3Script().Send("-ERR too many sessions").Close(), "NONE",
       CheckOutcome::ConnectFailed, "the server refused the connection: -ERR too many sessions"},
      {"password",
       Pop3Script()
           .Send("+OK hi")
           .Expect("USER user")
           .Send("+OK")
           .ReceiveLine()
           .Send("-ERR [AUTH] Authentication failed.")
           .ReceiveLine()
           .Send("+OK bye")
           .Close(),
       "NONE", CheckOutcome::LoginFailed,
       "the server refused the login (USER/PASS): -ERR [AUTH] Authentication failed."},
      {"discovery",
       Pop3Script()
           .Send("+OK hi")
           .ReceiveLine()
           .Send("-ERR no")
           .ReceiveLine()
           .Send("-ERR no")
           .ReceiveLine()
           .Send("-ERR no")
           .Expect("USER user")
           .Send("-ERR unknown user")
           .ReceiveLine()
           .Send("+OK bye")
           .Close(),
       "", CheckOutcome::NoMethodFound,
       "no login method worked (is the user name or password wrong?); the server said: "
       "-ERR unknown user"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto reports = CheckOn(std::move(c.script), c.authMethod);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].account, "Home");
    EXPECT_EQ(reports[0].outcome, c.outcome);
    EXPECT_EQ(reports[0].reason, c.reason);
    std::filesystem::remove(kAccountsFileName);
  }
}

TEST_F(CheckReasonTest, ARefusedConnectionNamesTheSocketErrorInTheReportAndTheLog) {
  TestAccount account;
  account.port = ClosedPort();
  AddAccount(account);
  Start();
  std::vector<CheckReport> reports;
  window_->OnCheckFinished = [&](const CheckReport& report) { reports.push_back(report); };
  Tick();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].reason,
            "cannot connect to 127.0.0.1:" + account.port + ": Connection refused");
  EXPECT_THAT(LogOf("Home"), ElementsAre("Trying to connect to 127.0.0.1", reports[0].reason,
                                         "Logged out from 127.0.0.1..."));
}

TEST_F(CheckReasonTest, ASuccessfulCheckReportsItsNewMailAndRunsTheNewMailCommand) {
  settings_.Open();
  settings_.WriteString(kProgramKey, kOnNewMailValueName,
                        "sh -c 'echo \"$CORVEL_ACCOUNT $CORVEL_COUNT $CORVEL_BYTES\" > ran'");
  settings_.WriteString(kProgramKey, kFastListingName, "False");  // one command per message
  const auto reports = CheckOn(Pop3Script()
                                   .Send("+OK hi")
                                   .Expect("USER user")
                                   .Send("+OK")
                                   .Expect("PASS secret")
                                   .Send("+OK")
                                   .Expect("STAT")
                                   .Send("+OK 2 300")
                                   .Expect("UIDL 1")
                                   .Send("+OK 1 a")
                                   .Expect("LIST 1")
                                   .Send("+OK 1 100")
                                   .Expect("UIDL 2")
                                   .Send("+OK 2 b")
                                   .Expect("LIST 2")
                                   .Send("+OK 2 200")
                                   .Expect("QUIT")
                                   .Send("+OK bye")
                                   .Close(),
                               "NONE");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].outcome, CheckOutcome::Checked);
  EXPECT_EQ(reports[0].reason, "");
  EXPECT_EQ(reports[0].newCount, 2);
  EXPECT_EQ(reports[0].newBytes, 300);
#ifdef _WIN32
  GTEST_SKIP() << "the command line above needs a POSIX shell";
#endif
  // The command runs beside the program; its output appears once it is done.
  auto ran = [] {
    std::ifstream in("ran");
    std::string line;
    return std::getline(in, line) ? line : std::string();
  };
  ASSERT_TRUE(WaitFor(loop_, [&] { return !ran().empty(); }));
  EXPECT_EQ(ran(), "Home 2 300");
}

}  // namespace
}  // namespace corvel::test
