// Text for the terminal: on a UTF-8 terminal the program's bytes go through
// the shared display conversion (app/text/display_text.h); any other terminal gets
// them as they are.
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
