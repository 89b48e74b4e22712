// The `corvel` command. Each command takes its arguments and the streams it
// writes to, and returns the process's exit status:
//
//   corvel [-C DIR] [--console] [--log] [--MINIMIZE]   run the program headless
//   corvel [-C DIR] check [--all-mail] [--quiet]       check every account once
//   corvel [-C DIR] status [--format F]                what the accounts have
//   corvel [-C DIR] accounts list|add|set|delete|clear-auth ...
//   corvel settings list|get KEY|set KEY VALUE
//   corvel demo                                         a tour without a mail server
//
// Exit status: 0 success, 1 an account could not be reached or logged in to,
// 2 a usage error or a file error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace corvel::console {

inline constexpr int kExitOk = 0;
inline constexpr int kExitCheckFailed = 1;
inline constexpr int kExitUsage = 2;

// Where the commands find what lies outside the working directory.
struct Environment {
  // The folder of the settings file and of the autostart entry.
  std::filesystem::path configFolder;
  // The full path of the running program (for the autostart entry).
  std::string programPath;
  // Standard input, for --password-stdin.
  std::istream* in = nullptr;
  // The desktop program that runs the program instead of the terminal
  // (empty: there is none, or no display).
  std::string desktopProgram;
  // accounts authorize: shows the authorization address in a browser (empty:
  // xdg-open), and how long the browser may take to come back.
  std::function<bool(const std::string& url, std::string& why)> openBrowser;
  int authorizationTimeoutMs = 5 * 60 * 1000;
};

// Runs the whole command line (arguments after the program name).
int Main(const std::vector<std::string>& arguments, const Environment& environment,
         std::ostream& out, std::ostream& err);

int RunProgram(const std::vector<std::string>& arguments, const Environment& environment,
               std::ostream& out, std::ostream& err);
int RunCheck(const std::vector<std::string>& arguments, const Environment& environment,
             std::ostream& out, std::ostream& err);
int RunAccounts(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err);
int RunSettings(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err);
int RunStatusCommand(const std::vector<std::string>& arguments, const Environment& environment,
                     std::ostream& out, std::ostream& err);
int RunDemo(const std::vector<std::string>& arguments, const Environment& environment,
            std::ostream& out, std::ostream& err);

// The help text.
[[nodiscard]] std::string UsageText();

// The word for an account's security mode, as --security takes it: "auto",
// "starttls" or "tls".
[[nodiscard]] std::string_view SecurityName(std::uint8_t mode);

}  // namespace corvel::console
