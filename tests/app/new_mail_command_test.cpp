// The "OnNewMail" command: split as a shell splits, run without one, reaped
// without blocking, its failures told.
#include "app/process/new_mail_command.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "net/posix/poll_event_loop.h"
#include "support/wait_for.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

// The programs below are POSIX ones.
#if !defined(_WIN32)
class NewMailCommandTest : public ::testing::Test {
 protected:
  NewMailCommandTest() {
    command_.OnFailure = [this](std::string_view account, std::string_view text) {
      failures_.push_back(std::string(account) + ": " + std::string(text));
    };
  }
  void RunAndReap(std::string_view line) {
    command_.Run(line, "Home", 3, 4567);
    ASSERT_TRUE(WaitFor(loop_, [&] { return command_.Running() == 0; }));
  }

  WorkingFolder folder_;
  PollEventLoop loop_;
  NewMailCommand command_{loop_};
  std::vector<std::string> failures_;
};

TEST_F(NewMailCommandTest, TheProgramGetsTheReportInItsEnvironmentWithoutAShell) {
  RunAndReap("sh -c 'echo \"$CORVEL_ACCOUNT $CORVEL_COUNT $CORVEL_BYTES $1\" > out' x '$HOME;'");
  std::ifstream in("out");
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "Home 3 4567 $HOME;\n");
  EXPECT_TRUE(failures_.empty());
}

TEST_F(NewMailCommandTest, FailuresAreToldAndNothingRunsForAnEmptyLine) {
  command_.Run("   ", "Home", 1, 1);
  EXPECT_EQ(command_.Running(), 0u);
  command_.Run("no-such-program-for-corvel", "Home", 1, 1);
  RunAndReap("false");
  RunAndReap("sh -c 'kill -TERM $$'");
  command_.Run("echo 'open", "Home", 1, 1);
  EXPECT_THAT(failures_,
              ElementsAre("Home: OnNewMail command no-such-program-for-corvel not started: No "
                          "such file or directory",
                          "Home: OnNewMail command false exited with status 1",
                          "Home: OnNewMail command sh ended by signal 15",
                          "Home: OnNewMail command not run: a ' is not closed"));
}

// A program that does not end is not joined by another one at each report.
TEST_F(NewMailCommandTest, WhileTheProgramStartedForAnAccountRunsNoOtherIsStarted) {
  ASSERT_EQ(::mkfifo("hold", 0600), 0);
  command_.Run("cat hold", "Home", 1, 1);
  command_.Run("cat hold", "Home", 2, 2);
  EXPECT_EQ(command_.Running(), 1u);
  EXPECT_THAT(
      failures_,
      ElementsAre("Home: OnNewMail command not run: the one started before (cat) still runs"));
  ::close(::open("hold", O_WRONLY | O_CLOEXEC));  // cat reads to the end and ends
  ASSERT_TRUE(WaitFor(loop_, [&] { return command_.Running() == 0; }));
}

#endif

}  // namespace
}  // namespace corvel::test
