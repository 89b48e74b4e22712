// The locale format record of Windows: the short date and long time formats
// of the system's default locale (GetLocaleInfo), read once when the record
// is built, and applied with GetDateFormat and GetTimeFormat. The texts are
// UTF-8.
#pragma once

#include <string>

#include "app/text/locale_format.h"

namespace corvel {

class Win32LocaleFormat final : public LocaleFormat {
 public:
  // The system default locale's formats.
  Win32LocaleFormat();
  // Given format pictures ("dd.MM.yyyy", "HH:mm:ss"), in the system
  // default locale (its month and day names, its AM and PM).
  Win32LocaleFormat(std::wstring datePattern, std::wstring timePattern);

  // A moment the system cannot represent (a field out of its range) is
  // written as FixedLocaleFormat writes it.
  [[nodiscard]] std::string ShortDate(const std::tm& localTime) const override;
  [[nodiscard]] std::string LongTime(const std::tm& localTime) const override;

  [[nodiscard]] const std::wstring& DatePattern() const { return datePattern_; }
  [[nodiscard]] const std::wstring& TimePattern() const { return timePattern_; }

 private:
  std::wstring datePattern_;
  std::wstring timePattern_;
};

}  // namespace corvel
