#include "console/terminal_text.h"

#include <langinfo.h>

#include <cstring>

#include "app/text/display_text.h"

namespace corvel::console {

namespace {

bool TerminalIsUtf8() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

}  // namespace

std::string TerminalText(std::string_view text) {
  if (!TerminalIsUtf8()) return std::string(text);
  return DisplayText(text);
}

std::array<std::string, kMailColumnCount> TerminalColumns(const MailRow& row) {
  return TerminalIsUtf8() ? DisplayColumns(row) : row.Columns();
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
