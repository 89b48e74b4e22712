// CharsetToUtf8 with the Windows code pages.
#include <windows.h>

#include <cctype>
#include <string>

#include "app/text/display_text.h"
#include "codec/header_decode.h"

namespace corvel {

namespace {

constexpr UINT kIso2022Jp = 50220;
constexpr UINT kShiftJis = 932;

struct CodePageName {
  const char* name;
  UINT codePage;
};

// MIME names and the code pages that read them.
constexpr CodePageName kCodePages[] = {
    {"utf-8", CP_UTF8},      {"us-ascii", 20127},    {"iso-8859-1", 28591},
    {"iso-8859-2", 28592},   {"iso-8859-3", 28593},  {"iso-8859-4", 28594},
    {"iso-8859-5", 28595},   {"iso-8859-6", 28596},  {"iso-8859-7", 28597},
    {"iso-8859-8", 28598},   {"iso-8859-9", 28599},  {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},  {"windows-1250", 1250}, {"windows-1251", 1251},
    {"windows-1252", 1252},  {"windows-1253", 1253}, {"windows-1254", 1254},
    {"windows-1255", 1255},  {"windows-1256", 1256}, {"windows-1257", 1257},
    {"windows-1258", 1258},  {"koi8-r", 20866},      {"koi8-u", 21866},
    {"shift_jis", 932},      {"shift-jis", 932},     {"euc-jp", 20932},
    {"iso-2022-jp", 50220},  {"gb2312", 936},        {"gbk", 936},
    {"gb18030", 54936},      {"big5", 950},          {"euc-kr", 51949},
    {"ks_c_5601-1987", 949}, {"utf-7", CP_UTF7},     {"ibm850", 850},
};

// Whether a stretch of double-byte ISO-2022-JP text has an odd number of
// bytes: its last byte is not a character (JisToShiftJis drops it).
bool HasLoneDoubleByte(std::string_view jis) {
  bool doubleBytes = false;
  std::size_t count = 0;
  for (std::size_t i = 0; i < jis.size(); ++i) {
    if (jis[i] == '\x1B' && i + 2 < jis.size()) {
      if (doubleBytes && count % 2 != 0) return true;
      doubleBytes = jis[i + 1] == '$';
      count = 0;
      i += 2;
    } else if (doubleBytes) {
      ++count;
    }
  }
  return doubleBytes && count % 2 != 0;
}

UINT CodePageOf(std::string_view charset) {
  std::string lower(charset);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const CodePageName& entry : kCodePages) {
    if (lower == entry.name) return entry.codePage;
  }
  return 0;
}

}  // namespace

std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view bytes) {
  UINT codePage = CodePageOf(charset);
  // ISO-2022-JP goes through Shift_JIS, as the header decoding itself does:
  // not every system converts code page 50220 (Wine does not).
  std::string shiftJis;
  bool loneByte = false;
  if (codePage == kIso2022Jp) {
    shiftJis = JisToShiftJis(bytes);
    loneByte = HasLoneDoubleByte(bytes);
    bytes = shiftJis;
    codePage = kShiftJis;
  }
  if (codePage == 0 || !IsValidCodePage(codePage)) return std::nullopt;
  const std::string replacement = loneByte ? "\xEF\xBF\xBD" : "";
  if (bytes.empty()) return replacement;
  // Without MB_ERR_INVALID_CHARS, bytes that are not valid in the code page
  // become U+FFFD.
  const int input = static_cast<int>(bytes.size());
  const int wide = MultiByteToWideChar(codePage, 0, bytes.data(), input, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), input, text.data(), wide);
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, out.data(), size, nullptr, nullptr);
  return out + replacement;
}

}  // namespace corvel
