// Text for the terminal. The program's strings are bytes in the code page of
// the mail they came from (decoded header values are Latin-1 or Windows-1252
// bytes); a UTF-8 terminal shows such bytes as garbage. On a UTF-8 terminal a
// text that is not valid UTF-8 is therefore shown as Windows-1252.
#pragma once

#include <string>
#include <string_view>

namespace corvel::console {

[[nodiscard]] bool IsValidUtf8(std::string_view text);
// Windows-1252 bytes as UTF-8 (the five unassigned bytes become U+FFFD).
[[nodiscard]] std::string Windows1252ToUtf8(std::string_view text);
// The text as a terminal of the process's locale should get it.
[[nodiscard]] std::string TerminalText(std::string_view text);

}  // namespace corvel::console
