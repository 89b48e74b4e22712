#include "app/text/locale_format.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <memory>
#include <string>

#if !defined(_WIN32)
#include "app/text/posix/locale_format.h"
#endif

namespace corvel {
namespace {

std::tm Moment() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 11;  // December
  t.tm_mday = 31;
  t.tm_hour = 23;
  t.tm_min = 5;
  t.tm_sec = 7;
  t.tm_wday = 2;
  t.tm_yday = 365;
  return t;
}

TEST(FixedLocaleFormat, WritesDayMonthYearAndTwentyFourHourTime) {
  const FixedLocaleFormat format;
  EXPECT_EQ(format.ShortDate(Moment()), "31/12/2024");
  EXPECT_EQ(format.LongTime(Moment()), "23:05:07");
  EXPECT_EQ(FormatDateTime(format, Moment()), "31/12/2024 23:05:07");
}

TEST(FixedLocaleFormat, OddFieldsArePrintedNotRejected) {
  std::tm t{};
  t.tm_year = 2147483647;
  t.tm_mon = 2147483647;
  t.tm_mday = -1;
  const FixedLocaleFormat format;
  EXPECT_EQ(format.ShortDate(t), "-1/2147483648/2147485547");
}

#if !defined(_WIN32)

TEST(PosixLocaleFormat, CLocaleUsesItsDateAndTimeFormats) {
  const std::unique_ptr<PosixLocaleFormat> format = PosixLocaleFormat::Named("C");
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->DatePattern(), "%m/%d/%y");
  EXPECT_EQ(format->TimePattern(), "%H:%M:%S");
  EXPECT_EQ(format->ShortDate(Moment()), "12/31/24");
  EXPECT_EQ(format->LongTime(Moment()), "23:05:07");
  EXPECT_EQ(FormatDateTime(*format, Moment()), "12/31/24 23:05:07");
}

TEST(PosixLocaleFormat, UnknownLocaleIsNotInstalled) {
  EXPECT_EQ(PosixLocaleFormat::Named("xx_NOWHERE.NOCHARSET"), nullptr);
  EXPECT_EQ(PosixLocaleFormat::Named(nullptr), nullptr);
}

TEST(PosixLocaleFormat, ProcessLocaleIsTakenWhenTheRecordIsBuilt) {
  // The test program runs in the "C" locale unless it calls setlocale.
  const PosixLocaleFormat format;
  EXPECT_EQ(format.ShortDate(Moment()), "12/31/24");
  EXPECT_EQ(format.LongTime(Moment()), "23:05:07");
}

TEST(PosixLocaleFormat, GermanLocaleWhenInstalled) {
  const std::unique_ptr<PosixLocaleFormat> format = PosixLocaleFormat::Named("de_DE.UTF-8");
  if (format == nullptr) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  EXPECT_EQ(format->ShortDate(Moment()), "31.12.2024");
  EXPECT_EQ(format->LongTime(Moment()), "23:05:07");
}

TEST(PosixLocaleFormat, AmericanLocaleWhenInstalled) {
  const std::unique_ptr<PosixLocaleFormat> format = PosixLocaleFormat::Named("en_US.UTF-8");
  if (format == nullptr) GTEST_SKIP() << "en_US.UTF-8 is not installed";
  EXPECT_EQ(format->ShortDate(Moment()), "12/31/2024");
  EXPECT_EQ(format->LongTime(Moment()), "11:05:07 PM");
}

TEST(PosixLocaleFormat, KeepsTheLocaleItWasBuiltWithWhenTheProcessLocaleChanges) {
  if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  const PosixLocaleFormat format;  // built as the front-end builds it, after setlocale
  setlocale(LC_ALL, "C");
  EXPECT_EQ(format.ShortDate(Moment()), "31.12.2024");
  EXPECT_EQ(format.LongTime(Moment()), "23:05:07");
}

#endif  // !_WIN32

}  // namespace
}  // namespace corvel
