// The token command of an OAuth2 account: a program of the user's (oama,
// a password manager, a script) that prints an access token. It is run
// without a shell; its line is split into words as a POSIX shell would split
// it (app/process/command_line.h), and nothing is expanded. The first line of
// its standard output is the token; the token is handed to the login and
// nowhere else.
#pragma once

#include <string>
#include <string_view>

namespace corvel {

struct TokenCommandResult {
  bool ok = false;
  std::string token;   // the first line of standard output, blanks trimmed
  std::string reason;  // when not ok: why, with the exit status and stderr's first line
};

// Runs the command (standard input from the null device) and waits for it at
// most `timeoutMs` milliseconds; one still running then is killed.
[[nodiscard]] TokenCommandResult RunTokenCommand(std::string_view commandLine, int timeoutMs);

}  // namespace corvel
