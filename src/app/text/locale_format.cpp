#include "app/text/locale_format.h"

#include <cstdio>

namespace corvel {

std::string FormatDateTime(const LocaleFormat& format, const std::tm& localTime) {
  return format.ShortDate(localTime) + " " + format.LongTime(localTime);
}

std::string FixedLocaleFormat::ShortDate(const std::tm& localTime) const {
  char text[64];
  // Widened so that a field at the edge of int cannot overflow.
  std::snprintf(text, sizeof text, "%02lld/%02lld/%04lld",
                static_cast<long long>(localTime.tm_mday),
                static_cast<long long>(localTime.tm_mon) + 1,
                static_cast<long long>(localTime.tm_year) + 1900);
  return text;
}

std::string FixedLocaleFormat::LongTime(const std::tm& localTime) const {
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", localTime.tm_hour, localTime.tm_min,
                localTime.tm_sec);
  return text;
}

std::tm CurrentLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return local;
}

}  // namespace corvel
