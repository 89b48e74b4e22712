// Windows has no session bus: nothing is exported, and no running program can
// be asked.
#include "app/bus/program_bus.h"

namespace corvel {

std::unique_ptr<ProgramBus> ExportProgramBus(EventLoop& /*loop*/, ProgramBusHost& /*host*/,
                                             const std::filesystem::path& /*folder*/,
                                             std::function<void(std::string_view)> /*tell*/,
                                             std::string& why) {
  why = "Windows has no session bus";
  return nullptr;
}

bool SystemKeyringReachable() { return true; }

std::optional<RunningProgramCounts> AskRunningProgram(int /*timeoutMs*/, std::string& why) {
  why = "Windows has no session bus";
  return std::nullopt;
}

}  // namespace corvel
