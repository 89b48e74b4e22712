#include "app/auth/token_command.h"

#include "app/process/command_line.h"
#include "app/process/process.h"
#include "pop3/pop3_auth.h"

namespace corvel {

namespace {

// More than any token; what comes beyond is read and dropped.
constexpr std::size_t kOutputLimit = 64 * 1024;

std::string FirstLine(const std::string& text) {
  const std::size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const std::size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

TokenCommandResult Failure(std::string reason) { return {false, {}, std::move(reason)}; }

}  // namespace

TokenCommandResult RunTokenCommand(std::string_view commandLine, int timeoutMs) {
  std::string why;
  const std::optional<std::vector<std::string>> split = SplitCommandLine(commandLine, &why);
  if (!split) return Failure("Token command cannot be read: " + why);
  const std::vector<std::string>& words = *split;
  if (words.empty()) return Failure("Token command is empty");

  const process::Captured run = process::RunCaptured(words, timeoutMs, kOutputLimit);
  if (!run.started) {
    return Failure("Token command '" + words[0] + "' could not be started: " + run.error);
  }
  if (run.timedOut) {
    const std::string limit = timeoutMs % 1000 == 0 ? std::to_string(timeoutMs / 1000) + " seconds"
                                                    : std::to_string(timeoutMs) + " ms";
    return Failure("Token command did not finish within " + limit);
  }
  const std::string errorLine = PrintableAscii(FirstLine(run.err), 300);
  const std::string said = errorLine.empty() ? "" : ": " + errorLine;
  if (run.ending.signalled) {
    return Failure("Token command ended by signal " + std::to_string(run.ending.code) + said);
  }
  if (run.ending.code != 0) {
    return Failure("Token command failed with exit status " + std::to_string(run.ending.code) +
                   said);
  }
  std::string token = FirstLine(run.out);
  if (token.empty()) return Failure("Token command printed no token" + said);
  return {true, std::move(token), {}};
}

}  // namespace corvel
