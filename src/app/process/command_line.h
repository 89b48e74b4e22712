// The command lines of the programs Corvel starts for the user (the token
// command of an OAuth2 account, the "OnNewMail" command): split into words as
// a POSIX shell splits them, with nothing expanded, and then run without a
// shell. Whoever wants a shell asks for one: sh -c '...'.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

// The words of `line`. Blanks (space, tab, line breaks) separate words;
// '...' keeps every character up to the next '; "..." keeps every character,
// except that a backslash before " \ $ or ` stands for that character; a
// backslash elsewhere keeps the character after it. A backslash before a
// line break joins the lines, in quotes or not. Nothing, with the reason in
// *error, when a quote is left open or the line ends in a backslash.
[[nodiscard]] std::optional<std::vector<std::string>> SplitCommandLine(
    std::string_view line, std::string* error = nullptr);

}  // namespace corvel
