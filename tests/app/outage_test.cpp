// What the program tells of an account that cannot be checked: why, in the
// log, at every failed check; one balloon per account and outage; and when it
// works again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

class OutageTest : public MainWindowTest {};

TEST_F(OutageTest, AFailingAccountBesideAWorkingOneIsToldOncePerOutage) {
  MailboxPop3Server server;
  TestAccount dead;
  dead.name = "Dead";
  dead.port = ClosedPort();
  dead.authMethod = "NONE";
  TestAccount working;
  working.name = "Working";
  working.port = server.PortText();
  working.authMethod = "NONE";
  AddAccount(dead);
  AddAccount(working);
  settings_.Preset(kProgramKey, "ConnErr", "True");
  Start();
  const std::string reason = "cannot connect to 127.0.0.1:" + dead.port + ": Connection refused";
  for (int i = 0; i < 3; ++i) Tick();
  ASSERT_EQ(Balloons().size(), 1u);
  EXPECT_EQ(Balloons()[0].title, "Connection error!");
  EXPECT_EQ(Balloons()[0].text, "Dead: " + reason);
  EXPECT_THAT(window_->Outages().FailingAccounts(), ElementsAre("Dead"));
  EXPECT_EQ(window_->Outages().ReasonOf("Dead"), reason);

  // Its server is back: the log says so, and a new outage is told anew.
  window_->Table()[0].Port = server.Port();
  window_->LogMemo() = LogMemoModel();
  Tick();
  EXPECT_THAT(LogOf("Dead"), ::testing::Contains("Works again after 3 failed checks."));
  EXPECT_THAT(window_->Outages().FailingAccounts(), ::testing::IsEmpty());
  window_->Table()[0].Port = std::stoi(dead.port);
  for (int i = 0; i < 2; ++i) Tick();
  EXPECT_EQ(Balloons().size(), 2u);
}

}  // namespace
}  // namespace corvel::test
