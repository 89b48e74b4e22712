// Text for the terminal, cleaned of every control character (escape
// sequences, bells, tabs and line breaks inside a value, C1 controls), in
// every locale: what a server or a stranger's header sends must never drive
// the terminal or break a line or a column of the output. On a UTF-8 terminal
// (and in the C locale) the program's bytes go through the shared display
// conversion (app/text/display_text.h); in any other locale each character is
// taken as the locale reads it, and '?' for a byte it cannot read.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "checker/new_mail_list.h"

namespace corvel::console {

[[nodiscard]] std::string TerminalText(std::string_view text);
// The columns of a "New mail" row as the terminal should get them.
[[nodiscard]] std::array<std::string, kMailColumnCount> TerminalColumns(const MailRow& row);
// A "New mail" row as one line, its columns separated by tabs.
[[nodiscard]] std::string TerminalRow(const MailRow& row);

}  // namespace corvel::console
