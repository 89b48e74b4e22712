// The `corvel` command.
#include <clocale>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/file_settings_store.h"
#include "console/commands.h"

namespace {

std::string ProgramPath(const char* argv0) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) self = std::filesystem::absolute(argv0, ec);
  return self.string();
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
  return corvel::console::Main(arguments, environment, std::cout, std::cerr);
}
