#include "app/text/posix/locale_format.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <vector>

namespace corvel {
namespace {

// Used when a locale leaves a format empty, so a log line still carries a
// date and a time. They are the "C" locale's own formats.
constexpr const char* kFallbackDatePattern = "%m/%d/%y";
constexpr const char* kFallbackTimePattern = "%H:%M:%S";

// strftime cannot tell "buffer too small" from "the result is empty"; a
// result longer than this is not a date or a time any locale writes.
constexpr std::size_t kMaxFormattedLength = 4096;

locale_t AsLocale(void* locale) { return static_cast<locale_t>(locale); }

}  // namespace

PosixLocaleFormat::PosixLocaleFormat() : PosixLocaleFormat(Adopt{}, duplocale(LC_GLOBAL_LOCALE)) {}

std::unique_ptr<PosixLocaleFormat> PosixLocaleFormat::Named(const char* localeName) {
  if (localeName == nullptr) return nullptr;
  locale_t locale = newlocale(LC_ALL_MASK, localeName, static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) return nullptr;
  return std::unique_ptr<PosixLocaleFormat>(new PosixLocaleFormat(Adopt{}, locale));
}

PosixLocaleFormat::PosixLocaleFormat(Adopt, void* locale) : locale_(locale) {
  const char* date = nullptr;
  const char* time = nullptr;
  if (locale_ != nullptr) {
    date = nl_langinfo_l(D_FMT, AsLocale(locale_));
    time = nl_langinfo_l(T_FMT, AsLocale(locale_));
  }
  datePattern_ = (date != nullptr && *date != '\0') ? date : kFallbackDatePattern;
  timePattern_ = (time != nullptr && *time != '\0') ? time : kFallbackTimePattern;
}

PosixLocaleFormat::~PosixLocaleFormat() {
  if (locale_ != nullptr) freelocale(AsLocale(locale_));
}

std::string PosixLocaleFormat::ShortDate(const std::tm& localTime) const {
  return Format(datePattern_, localTime);
}

std::string PosixLocaleFormat::LongTime(const std::tm& localTime) const {
  return Format(timePattern_, localTime);
}

std::string PosixLocaleFormat::Format(const std::string& pattern, const std::tm& localTime) const {
  std::vector<char> buffer(64);
  while (true) {
    const std::size_t length =
        locale_ != nullptr ? strftime_l(buffer.data(), buffer.size(), pattern.c_str(), &localTime,
                                        AsLocale(locale_))
                           : strftime(buffer.data(), buffer.size(), pattern.c_str(), &localTime);
    if (length > 0) return std::string(buffer.data(), length);
    if (buffer.size() >= kMaxFormattedLength) return {};
    buffer.resize(buffer.size() * 4);
  }
}

}  // namespace corvel
