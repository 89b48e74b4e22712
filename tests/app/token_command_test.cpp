// The token command: its line split into words as a shell would, without one.
#include "app/auth/token_command.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace corvel {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLine, SplitsAsAShellWouldWithoutExpanding) {
  const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"oama access tim@example.com", {"oama", "access", "tim@example.com"}},
      {"  a \t b  ", {"a", "b"}},
      {"pass show 'mail/my account'", {"pass", "show", "mail/my account"}},
      {R"(sh -c "echo \"\$HOME\" \\ \x")", {"sh", "-c", R"(echo "$HOME" \ \x)"}},
      {R"(a\ b c'd'"e" '')", {"a b", "cde", ""}},
      {"$HOME ~ *", {"$HOME", "~", "*"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

TEST(SplitCommandLine, RefusesUnterminatedQuotes) {
  for (const char* line : {"a 'b", "a \"b", "a \\"}) {
    EXPECT_THROW((void)SplitCommandLine(line), std::invalid_argument) << line;
  }
}

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
