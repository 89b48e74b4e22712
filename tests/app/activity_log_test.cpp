#include "app/activity_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/text/locale_format.h"

namespace corvel {
namespace {

std::tm Moment() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;  // March
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 4;
  t.tm_sec = 9;
  return t;
}

TEST(LogLine, WithoutAccountHasNoSlashInsideTheBrackets) {
  const FixedLocaleFormat format;
  EXPECT_EQ(FormatLogLine(format, Moment(), "", "Corvel! v0.6 started..."),
            "[05/03/2024 07:04:09] Corvel! v0.6 started...");
}

TEST(LogLine, WithAccountPutsItAfterASlash) {
  const FixedLocaleFormat format;
  EXPECT_EQ(FormatLogLine(format, Moment(), "home", "Trying to connect to pop.example.org"),
            "[05/03/2024 07:04:09/home] Trying to connect to pop.example.org");
}

TEST(LogLine, AccountWithSlashAndBracketIsInsertedVerbatim) {
  const FixedLocaleFormat format;
  EXPECT_EQ(FormatLogLine(format, Moment(), "a/b]c", "x"), "[05/03/2024 07:04:09/a/b]c] x");
}

TEST(LogLine, EmptyMessageStillGivesTheBracketedPrefix) {
  const FixedLocaleFormat format;
  EXPECT_EQ(FormatLogLine(format, Moment(), "", ""), "[05/03/2024 07:04:09] ");
  EXPECT_EQ(FormatLogLine(format, Moment(), "work", ""), "[05/03/2024 07:04:09/work] ");
}

TEST(LogLine, UsesTheShortDateAndLongTimeOfTheFormatRecord) {
  struct Marked final : LocaleFormat {
    std::string ShortDate(const std::tm&) const override { return "D"; }
    std::string LongTime(const std::tm&) const override { return "T"; }
  };
  EXPECT_EQ(FormatLogLine(Marked{}, Moment(), "acc", "m%s\\n"), "[D T/acc] m%s\\n");
}

TEST(LogLine, LongMessageIsKeptWhole) {
  const FixedLocaleFormat format;
  const std::string message(100000, 'm');
  EXPECT_EQ(FormatLogLine(format, Moment(), "", message).size(), 22 + message.size());
}

// ---- The memo and its line cap.

std::string Numbered(int n) { return "line " + std::to_string(n); }

TEST(LogMemoCap, TwoHundredLinesAreKept) {
  LogMemoModel memo;
  for (int i = 1; i <= 200; ++i) memo.Append(Numbered(i));
  EXPECT_EQ(memo.Count(), 200u);
  EXPECT_EQ(memo.Lines().front(), "line 1");
}

TEST(LogMemoCap, LineTwoHundredAndOneDropsTheFirst) {
  LogMemoModel memo;
  for (int i = 1; i <= 201; ++i) memo.Append(Numbered(i));
  EXPECT_EQ(memo.Count(), 200u);
  EXPECT_EQ(memo.Lines().front(), "line 2");
  EXPECT_EQ(memo.Lines().back(), "line 201");
}

TEST(LogMemoCap, ManyLinesKeepTheNewestTwoHundredInOrder) {
  LogMemoModel memo;
  for (int i = 1; i <= 1000; ++i) memo.Append(Numbered(i));
  ASSERT_EQ(memo.Count(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(memo.Lines()[i], Numbered(801 + i));
}

TEST(LogMemoEvents, ViewMirroringTheEventsHoldsTheSameLines) {
  LogMemoModel memo;
  std::vector<std::string> view;
  std::vector<std::string> order;
  memo.OnLineAppended = [&](const std::string& line) {
    view.push_back(line);
    order.push_back("append " + line);
  };
  memo.OnFirstLineRemoved = [&] {
    view.erase(view.begin());
    order.push_back("remove");
  };
  for (int i = 1; i <= 201; ++i) memo.Append(Numbered(i));
  EXPECT_EQ(view, std::vector<std::string>(memo.Lines().begin(), memo.Lines().end()));
  // The new line is appended first, then the cap takes the oldest.
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[order.size() - 2], "append line 201");
  EXPECT_EQ(order.back(), "remove");
  EXPECT_EQ(std::count(order.begin(), order.end(), "remove"), 1);
}

TEST(LogMemoLines, TextWithLineBreaksBecomesSeveralLines) {
  LogMemoModel memo;
  memo.Append("[d t/acc] -ERR first\r\nsecond\nthird\rfourth");
  EXPECT_EQ(memo.Lines(),
            (std::deque<std::string>{"[d t/acc] -ERR first", "second", "third", "fourth"}));
  EXPECT_EQ(memo.Text(), "[d t/acc] -ERR first\r\nsecond\r\nthird\r\nfourth");
}

TEST(LogMemoLines, TrailingBreakAddsNoEmptyLineButAnEmptyTextIsOneLine) {
  LogMemoModel memo;
  memo.Append("one\r\n");
  memo.Append("");
  EXPECT_EQ(memo.Lines(), (std::deque<std::string>{"one", ""}));
}

TEST(LogMemoLines, LinesFromBreaksCountAgainstTheCap) {
  LogMemoModel memo;
  for (int i = 1; i <= 199; ++i) memo.Append(Numbered(i));
  memo.Append("a\nb\nc");
  EXPECT_EQ(memo.Count(), 200u);
  EXPECT_EQ(memo.Lines().front(), "line 3");
  EXPECT_EQ(memo.Lines().back(), "c");
}

}  // namespace
}  // namespace corvel
