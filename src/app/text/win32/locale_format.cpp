#include "app/text/win32/locale_format.h"

#include <windows.h>

#include <optional>
#include <utility>

#include "app/text/win32/wide_text.h"

namespace corvel {
namespace {

std::wstring LocaleText(LCTYPE type, const wchar_t* fallback) {
  wchar_t buffer[96] = {};
  const int length = GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, type, buffer, 96);
  if (length <= 1) return fallback;
  return std::wstring(buffer, static_cast<std::size_t>(length - 1));
}

// The moment as the system's calendar record; nothing when a field is out
// of the range the record can hold.
std::optional<SYSTEMTIME> SystemTimeOf(const std::tm& t) {
  const auto within = [](int value, int low, int high) { return value >= low && value <= high; };
  if (!within(t.tm_year, 1601 - 1900, 30827 - 1900) || !within(t.tm_mon, 0, 11) ||
      !within(t.tm_mday, 1, 31) || !within(t.tm_hour, 0, 23) || !within(t.tm_min, 0, 59) ||
      !within(t.tm_sec, 0, 59)) {
    return std::nullopt;
  }
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.tm_year + 1900);
  st.wMonth = static_cast<WORD>(t.tm_mon + 1);
  st.wDay = static_cast<WORD>(t.tm_mday);
  st.wDayOfWeek = static_cast<WORD>(within(t.tm_wday, 0, 6) ? t.tm_wday : 0);
  st.wHour = static_cast<WORD>(t.tm_hour);
  st.wMinute = static_cast<WORD>(t.tm_min);
  st.wSecond = static_cast<WORD>(t.tm_sec);
  return st;
}

template <typename Format>
std::optional<std::string> Formatted(Format format) {
  wchar_t buffer[128] = {};
  const int length = format(buffer, 128);
  if (length <= 0) return std::nullopt;
  return Utf8Text(std::wstring_view(buffer, static_cast<std::size_t>(length - 1)));
}

}  // namespace

Win32LocaleFormat::Win32LocaleFormat()
    : Win32LocaleFormat(LocaleText(LOCALE_SSHORTDATE, L"dd/MM/yyyy"),
                        LocaleText(LOCALE_STIMEFORMAT, L"HH:mm:ss")) {}

Win32LocaleFormat::Win32LocaleFormat(std::wstring datePattern, std::wstring timePattern)
    : datePattern_(std::move(datePattern)), timePattern_(std::move(timePattern)) {}

std::string Win32LocaleFormat::ShortDate(const std::tm& localTime) const {
  const std::optional<SYSTEMTIME> st = SystemTimeOf(localTime);
  std::optional<std::string> text;
  if (st) {
    text = Formatted([&](wchar_t* out, int size) {
      return GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &*st, datePattern_.c_str(), out, size);
    });
  }
  return text ? *text : FixedLocaleFormat().ShortDate(localTime);
}

std::string Win32LocaleFormat::LongTime(const std::tm& localTime) const {
  const std::optional<SYSTEMTIME> st = SystemTimeOf(localTime);
  std::optional<std::string> text;
  if (st) {
    text = Formatted([&](wchar_t* out, int size) {
      return GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &*st, timePattern_.c_str(), out, size);
    });
  }
  return text ? *text : FixedLocaleFormat().LongTime(localTime);
}

}  // namespace corvel
