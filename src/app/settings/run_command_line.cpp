#include "app/settings/run_command_line.h"

namespace corvel {

namespace {

constexpr std::string_view kMinimizeSuffix = " --MINIMIZE";

}  // namespace

std::string QuotedWindowsArgument(std::string_view argument) {
  std::string quoted = "\"";
  quoted += argument;
  // Backslashes before the closing quote would escape it: each is doubled.
  std::size_t trailing = 0;
  while (trailing < argument.size() && argument[argument.size() - 1 - trailing] == '\\') {
    ++trailing;
  }
  quoted.append(trailing, '\\');
  quoted += '"';
  return quoted;
}

std::string WindowsRunCommandLine(std::string_view valueText, std::string_view folder) {
  if (valueText.size() <= kMinimizeSuffix.size() ||
      valueText.substr(valueText.size() - kMinimizeSuffix.size()) != kMinimizeSuffix ||
      valueText.front() == '"') {
    return std::string(valueText);
  }
  const std::string_view program = valueText.substr(0, valueText.size() - kMinimizeSuffix.size());
  return QuotedWindowsArgument(program) + std::string(kMinimizeSuffix) + " --dir " +
         QuotedWindowsArgument(folder);
}

}  // namespace corvel
