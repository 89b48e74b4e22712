// The `corvel` command.
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/settings/file_settings_store.h"
#include "console/commands.h"

namespace {

std::string ProgramPath(const char* argv0) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) self = std::filesystem::absolute(argv0, ec);
  return self.string();
}

// The desktop program beside this one, when there is a display to show it.
std::string DesktopProgram(const std::string& programPath) {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0')) return {};
  const std::filesystem::path desktop =
      std::filesystem::path(programPath).parent_path() / "corvel-desktop";
  if (::access(desktop.c_str(), X_OK) != 0) return {};
  return desktop.string();
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  corvel::console::Environment environment;
  environment.configFolder = corvel::FileSettingsStore::DefaultConfigFolder();
  environment.programPath = ProgramPath(argc > 0 ? argv[0] : "corvel");
  environment.in = &std::cin;
  environment.desktopProgram = DesktopProgram(environment.programPath);
  return corvel::console::Main(arguments, environment, std::cout, std::cerr);
}
