// The command line of the Windows logon entry ("Start with Windows"): the
// program's path and the folder it runs in, each in double quotes, so that a
// program started from C:\Windows\System32 at logon still finds its accounts:
//   "C:\Program Files\Corvel\corvel.exe" --MINIMIZE --dir "C:\Users\me\Mail"
// Quoted as CommandLineToArgvW and the C run-time split a command line back
// into its arguments: a run of backslashes right before a closing quote is
// doubled ("D:\\" for the root of a drive); nothing else is escaped (a
// Windows path holds no double quote).
#pragma once

#include <string>
#include <string_view>

namespace corvel {

// `argument` in double quotes, read back as itself by the rules above.
[[nodiscard]] std::string QuotedWindowsArgument(std::string_view argument);

// The logon entry for the value text the window writes (the program's path, a
// blank and "--MINIMIZE"): "PATH" --MINIMIZE --dir "FOLDER". A text in another
// form (already a command line of its own) is kept as it is.
[[nodiscard]] std::string WindowsRunCommandLine(std::string_view valueText,
                                                std::string_view folder);

}  // namespace corvel
