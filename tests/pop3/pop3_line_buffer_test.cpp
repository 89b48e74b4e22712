// Framing of received bytes into lines: the 4096-byte buffer, LF and CR LF
// endings, 0 bytes, and lines longer than the buffer.
#include "pop3/pop3_line_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace corvel {
namespace {

// Feeds `bytes` the way the engine does on each data event (a read of at
// most FreeSpace(), or the forced line end when the buffer is full) and
// collects the lines.
std::vector<std::string> Feed(Pop3LineBuffer& buffer, std::string bytes) {
  std::vector<std::string> lines;
  std::string line;
  while (!bytes.empty()) {
    if (buffer.FreeSpace() > 0) {
      const size_t count = std::min<size_t>(bytes.size(), static_cast<size_t>(buffer.FreeSpace()));
      std::memcpy(buffer.WritePosition(), bytes.data(), count);
      buffer.Commit(static_cast<int>(count));
      bytes.erase(0, count);
    } else {
      buffer.ForceLineEnd();
    }
    while (buffer.NextLine(line)) lines.push_back(line);
  }
  return lines;
}

TEST(Pop3LineBuffer, SplitsCrLfLines) {
  Pop3LineBuffer buffer;
  EXPECT_EQ(Feed(buffer, "+OK one\r\n+OK two\r\n"),
            (std::vector<std::string>{"+OK one", "+OK two"}));
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(Pop3LineBuffer, AcceptsLfAloneAsLineEnd) {
  Pop3LineBuffer buffer;
  EXPECT_EQ(Feed(buffer, "+OK a\nb\n"), (std::vector<std::string>{"+OK a", "b"}));
}

TEST(Pop3LineBuffer, KeepsCrThatIsNotBeforeTheLf) {
  Pop3LineBuffer buffer;
  EXPECT_EQ(Feed(buffer, "a\rb\r\n"), (std::vector<std::string>{"a\rb"}));
}

TEST(Pop3LineBuffer, CutsLineAtZeroByte) {
  Pop3LineBuffer buffer;
  EXPECT_EQ(Feed(buffer, std::string("+OK\0hidden\r\nnext\r\n", 18)),
            (std::vector<std::string>{"+OK", "next"}));
}

TEST(Pop3LineBuffer, TakesAnLfAloneAsAnEmptyLine) {
  Pop3LineBuffer buffer;
  // After "a\n" the second LF sits first in the buffer: it ends an empty
  // line rather than joining the next one.
  EXPECT_EQ(Feed(buffer, "a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Feed(buffer, "\n"), (std::vector<std::string>{""}));
}

TEST(Pop3LineBuffer, WaitsForTheLineEnd) {
  Pop3LineBuffer buffer;
  EXPECT_TRUE(Feed(buffer, "+OK partial").empty());
  EXPECT_EQ(Feed(buffer, " line\r\n"), (std::vector<std::string>{"+OK partial line"}));
}

TEST(Pop3LineBuffer, DeliversLongLineIn4093BytePieces) {
  Pop3LineBuffer buffer;
  const std::string longLine(5000, 'x');
  const std::vector<std::string> lines = Feed(buffer, longLine + "\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(4093, 'x'));
  EXPECT_EQ(lines[1], std::string(907, 'x'));
}

TEST(Pop3LineBuffer, HoldsAFull4093BytesUntilMoreComes) {
  Pop3LineBuffer buffer;
  EXPECT_TRUE(Feed(buffer, std::string(4093, 'y')).empty());
  EXPECT_EQ(buffer.FreeSpace(), 0);
  const std::vector<std::string> lines = Feed(buffer, "z\r\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::string(4093, 'y'));
  EXPECT_EQ(lines[1], "z");
}

// The line end right behind a forced cut completes the cut line; only a
// further one is an empty line.
TEST(Pop3LineBuffer, LineEndRightAfterACutIsNoEmptyLine) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"cut between CR and LF",
       std::string(4092, 'x') + "\r\nnext\r\n",
       {std::string(4092, 'x') + "\r", "next"}},
      {"cut right before CR LF",
       std::string(4093, 'x') + "\r\nnext\r\n",
       {std::string(4093, 'x'), "next"}},
      {"cut before LF, then a blank line",
       std::string(4093, 'x') + "\n\nb\n",
       {std::string(4093, 'x'), "", "b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pop3LineBuffer buffer;
    EXPECT_EQ(Feed(buffer, c.bytes), c.lines);
  }
}

TEST(Pop3LineBuffer, ClearDropsHeldBytes) {
  Pop3LineBuffer buffer;
  EXPECT_TRUE(Feed(buffer, "stale").empty());
  buffer.Clear();
  EXPECT_EQ(Feed(buffer, "+OK\r\n"), (std::vector<std::string>{"+OK"}));
}

}  // namespace
}  // namespace corvel
