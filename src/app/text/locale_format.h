// The locale format record: how a local date and time are written in the
// activity log and in the date column of the "New mail" list. Both use the
// same record, filled once when the main window is created, so a line in the
// log and an overview row of the list show a moment the same way.
//
// LocaleFormat is the seam: the POSIX front-ends use PosixLocaleFormat
// (app/text/posix/locale_format.h), built from the process locale; tests use
// FixedLocaleFormat, whose texts never depend on the machine.
#pragma once

#include <ctime>
#include <functional>
#include <string>

namespace corvel {

class LocaleFormat {
 public:
  virtual ~LocaleFormat() = default;

  // The locale's short date of a local time ("31/12/2024", "12/31/24", ...).
  [[nodiscard]] virtual std::string ShortDate(const std::tm& localTime) const = 0;
  // The locale's long time of a local time ("23:59:07", "11:59:07 PM", ...).
  [[nodiscard]] virtual std::string LongTime(const std::tm& localTime) const = 0;
};

// Short date, one blank, long time: the form of a moment in the log's prefix
// and in the "Date" column of an overview row.
[[nodiscard]] std::string FormatDateTime(const LocaleFormat& format, const std::tm& localTime);

// Always "DD/MM/YYYY" and "HH:MM:SS" (24-hour clock, zero-padded), whatever
// the machine's locale. Fields out of their usual range are printed as they
// are, never rejected.
class FixedLocaleFormat final : public LocaleFormat {
 public:
  [[nodiscard]] std::string ShortDate(const std::tm& localTime) const override;
  [[nodiscard]] std::string LongTime(const std::tm& localTime) const override;
};

// The current local time. A function object so that the main window, and the
// tests that drive it, can fix the moment a log line or an overview row shows.
using LocalClock = std::function<std::tm()>;

// Reads the system clock and converts it to local time.
[[nodiscard]] std::tm CurrentLocalTime();

}  // namespace corvel
