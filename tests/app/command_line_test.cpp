// The command lines of the token and OnNewMail commands: split as a shell
// would, without one.
#include "app/process/command_line.h"

#include <gtest/gtest.h>

namespace corvel {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLine, SplitsAsAShellWouldWithoutExpanding) {
  const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"oama access tim@example.com", {"oama", "access", "tim@example.com"}},
      {"  a \t b\r\n", {"a", "b"}},
      {"pass show 'mail/my account'", {"pass", "show", "mail/my account"}},
      {R"(sh -c "echo \"\$HOME\" \\ \x")", {"sh", "-c", R"(echo "$HOME" \ \x)"}},
      {R"(a\ b c'd'"e" '' "")", {"a b", "cde", "", ""}},
      {"$HOME ~ *", {"$HOME", "~", "*"}},
      // A backslash before a line break joins the lines, in quotes or not.
      {"notify\\\n-send \"a\\\nb\" 'c\\\nd'", {"notify-send", "ab", "c\\\nd"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

TEST(SplitCommandLine, RefusesAnOpenQuoteOrATrailingBackslash) {
  const std::pair<const char*, const char*> cases[] = {
      {"say 'hi", "a ' is not closed"},
      {"say \"hi", "a \" is not closed"},
      {"say hi\\", "a \\ ends the line"},
  };
  for (const auto& [line, why] : cases) {
    std::string error;
    EXPECT_EQ(SplitCommandLine(line, &error), std::nullopt) << line;
    EXPECT_EQ(error, why);
  }
}

}  // namespace
}  // namespace corvel
