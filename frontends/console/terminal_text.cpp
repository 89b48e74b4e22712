#include "console/terminal_text.h"

#include <langinfo.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "app/text/display_text.h"

namespace corvel::console {

namespace {

// A UTF-8 locale, or the C locale: its set is ASCII, which says nothing of
// bytes beyond it, and the terminals it runs on today speak UTF-8 (as other
// programs, Python's for one, take the C locale to mean).
bool TerminalIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr &&
         (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0);
}

// The bytes as the locale reads them: a control character (C0, DEL, and the
// C1 controls of a single-byte set such as ISO 8859) becomes a blank, a zero
// byte goes, and a byte that is no character of the locale's set becomes '?'.
std::string LocaleText(std::string_view bytes) {
  std::string out;
  std::mbstate_t state{};
  for (std::size_t i = 0; i < bytes.size();) {
    wchar_t character = 0;
    const std::size_t length = std::mbrtowc(&character, bytes.data() + i, bytes.size() - i, &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
      out += '?';
      state = {};
      ++i;
    } else if (length == 0) {
      ++i;
    } else {
      if (std::iswcntrl(static_cast<wint_t>(character))) {
        out += ' ';
      } else {
        out.append(bytes.substr(i, length));
      }
      i += length;
    }
  }
  return out;
}

}  // namespace

std::string TerminalText(std::string_view text) {
  if (!TerminalIsUtf8()) return LocaleText(text);
  return WithoutControls(DisplayText(text));
}

std::array<std::string, kMailColumnCount> TerminalColumns(const MailRow& row) {
  if (TerminalIsUtf8()) return DisplayColumns(row);
  std::array<std::string, kMailColumnCount> columns = row.Columns();
  for (std::string& column : columns) column = LocaleText(column);
  return columns;
}

std::string TerminalRow(const MailRow& row) {
  const auto columns = TerminalColumns(row);
  std::string line;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) line += '\t';
    line += columns[i];
  }
  return line;
}

}  // namespace corvel::console
