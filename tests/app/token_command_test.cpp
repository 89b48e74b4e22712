// The token command: run without a shell, its first line taken, its time limited.
#include "app/auth/token_command.h"

#include <gtest/gtest.h>

#include <string>

namespace corvel {
namespace {

TEST(RunTokenCommand, TakesTheFirstLineAndKillsACommandThatHangs) {
  const TokenCommandResult ok = RunTokenCommand("printf ' ya29.tok \\r\\nsecond\\n'", 20000);
  EXPECT_TRUE(ok.ok) << ok.reason;
  EXPECT_EQ(ok.token, "ya29.tok");
  const TokenCommandResult hung = RunTokenCommand("sleep 30", 200);
  EXPECT_FALSE(hung.ok);
  EXPECT_EQ(hung.reason, "Token command did not finish within 200 ms");
}

}  // namespace
}  // namespace corvel
