// Programs started on Windows, without a shell: the token command and the
// "OnNewMail" command, with the test helper program beside this one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>

#include "app/auth/token_command.h"
#include "app/process/new_mail_command.h"
#include "app/process/process.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

// The helper's path, quoted for a command line.
std::string Child() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  folder.erase(folder.find_last_of("\\/") + 1);
  return "'" + folder + "corvel_test_child.exe'";
}

TEST(WindowsTokenCommand, TakesTheFirstLineAndTellsFailuresAsOnPosix) {
  const TokenCommandResult ok =
      RunTokenCommand(Child() + " out ' ya29.tok \\r\\nsecond\\n'", 20000);
  EXPECT_TRUE(ok.ok) << ok.reason;
  EXPECT_EQ(ok.token, "ya29.tok");

  const struct {
    std::string line;
    int timeoutMs;
    std::string reason;
  } failures[] = {
      {Child() + " err 'invalid_grant\\nmore' exit 3", 20000,
       "Token command failed with exit status 3: invalid_grant"},
      {Child() + " out '  \\n'", 20000, "Token command printed no token"},
      {Child() + " hang", 300, "Token command did not finish within 300 ms"},
      {"no-such-program-for-corvel", 20000,
       "Token command 'no-such-program-for-corvel' could not be started: "},
  };
  for (const auto& f : failures) {
    const TokenCommandResult result = RunTokenCommand(f.line, f.timeoutMs);
    EXPECT_FALSE(result.ok) << f.line;
    EXPECT_EQ(result.reason.substr(0, f.reason.size()), f.reason) << result.reason;
  }
}

TEST(WindowsProcess, AChildInheritsItsPipesAndNoOtherHandle) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE event = ::CreateEventW(&inherit, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  std::string path = Child();
  path = path.substr(1, path.size() - 2);
  const process::Captured run = process::RunCaptured(
      {path, "handle", std::to_string(reinterpret_cast<std::uintptr_t>(event))}, 20000, 1000);
  ::CloseHandle(event);
  EXPECT_TRUE(run.started) << run.error;
  EXPECT_THAT(run.out, ::testing::StartsWith("closed"));
}

TEST(WindowsNewMailCommand, TheProgramGetsTheReportAndItsFailuresAreTold) {
  WorkingFolder folder;
  SystemEventLoop loop;
  NewMailCommand command(loop);
  std::vector<std::string> failures;
  command.OnFailure = [&](std::string_view account, std::string_view text) {
    failures.push_back(std::string(account) + ": " + std::string(text));
  };
  command.Run(Child() + " env out", "Home", 3, 4567);
  command.Run(Child() + " exit 2", "Work", 1, 1);
  command.Run("no-such-program-for-corvel", "Spare", 1, 1);
  ASSERT_TRUE(WaitFor(loop, [&] { return command.Running() == 0; }));

  std::ifstream in("out");
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(content.str(), "Home 3 4567\n");
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_THAT(
      failures[0],
      ::testing::StartsWith("Spare: OnNewMail command no-such-program-for-corvel not started: "));
  EXPECT_THAT(failures[1], ::testing::StartsWith("Work: OnNewMail command "));
  EXPECT_THAT(failures[1], ::testing::EndsWith("corvel_test_child.exe exited with status 2"));
}

}  // namespace
}  // namespace corvel::test
