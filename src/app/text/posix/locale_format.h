// The locale format record of a POSIX system: the short date is the locale's
// date format (nl_langinfo(D_FMT)) and the long time its time format
// (nl_langinfo(T_FMT)), both written with strftime in that locale.
//
// The record takes its locale when it is built and keeps it, so the texts do
// not change if the process locale is changed later; the front-end calls
// setlocale(LC_ALL, "") before building it, which selects the user's locale
// from the environment (LANG, LC_ALL, LC_TIME).
#pragma once

#include <memory>
#include <string>

#include "app/text/locale_format.h"

namespace corvel {

class PosixLocaleFormat final : public LocaleFormat {
 public:
  // The locale of the process at this moment.
  PosixLocaleFormat();
  // A named locale ("C", "de_DE.UTF-8", ...); nullptr when that locale is
  // not installed.
  [[nodiscard]] static std::unique_ptr<PosixLocaleFormat> Named(const char* localeName);

  ~PosixLocaleFormat() override;
  PosixLocaleFormat(const PosixLocaleFormat&) = delete;
  PosixLocaleFormat& operator=(const PosixLocaleFormat&) = delete;

  [[nodiscard]] std::string ShortDate(const std::tm& localTime) const override;
  [[nodiscard]] std::string LongTime(const std::tm& localTime) const override;

  // The strftime patterns in use, as the locale gave them.
  [[nodiscard]] const std::string& DatePattern() const { return datePattern_; }
  [[nodiscard]] const std::string& TimePattern() const { return timePattern_; }

 private:
  struct Adopt {};
  PosixLocaleFormat(Adopt, void* locale);
  [[nodiscard]] std::string Format(const std::string& pattern, const std::tm& localTime) const;

  void* locale_ = nullptr;  // a locale_t, kept opaque so callers need no OS header
  std::string datePattern_;
  std::string timePattern_;
};

}  // namespace corvel
