// The program's side of the module corvel-glib.so (see glib_module.h): finds
// and loads it, and calls the keyring and the session bus through it.
#include "app/bus/posix/glib_module.h"

#include <unistd.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "app/version.h"
#include "net/posix/shared_library.h"

namespace corvel {
namespace {

std::string& ModuleFile() {
  static std::string file;  // empty: looked for
  return file;
}

// Where the module may be: in the installed program's private folder
// (<prefix>/bin/corvel -> <prefix>/lib/<multiarch>/corvel/corvel-glib.so,
// wherever the prefix is), beside the program (the build tree puts it beside
// corvel and corvel-desktop), and at its place in the build tree (for the
// tests' programs).
std::vector<std::string> Places() {
  if (!ModuleFile().empty()) return {ModuleFile()};
  std::vector<std::string> places;
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const std::filesystem::path folder = program.parent_path();
    places.push_back((folder / CORVEL_GLIB_MODULE_FROM_BIN / kGlibModuleFile).lexically_normal());
    places.push_back(folder / kGlibModuleFile);
  }
#ifdef CORVEL_GLIB_MODULE_BUILT
  places.emplace_back(CORVEL_GLIB_MODULE_BUILT);
#endif
  if (places.empty()) places.emplace_back(kGlibModuleFile);
  return places;
}

// The module from the first place that has it (the first place, for the
// loader's reason, when none has). Once loaded it stays: GLib keeps threads
// and global state.
GlibModule Load() {
  const std::vector<std::string> places = Places();
  std::string file = places.front();
  for (const std::string& place : places) {
    if (::access(place.c_str(), F_OK) == 0) {
      file = place;
      break;
    }
  }
  const std::string failed = "the GLib module (" + file + ") could not be loaded: ";
  GlibModule module;
  std::string why;
  void* library = OpenSharedLibrary(file, why);
  if (library == nullptr) {
    module.reason = failed + why;
    return module;
  }
  GlibModuleEntry entry = nullptr;
  SymbolFinder find(library);
  find(entry, kGlibModuleEntry);
  if (entry == nullptr) {
    module.reason = failed + find.Missing();
    return module;
  }
  static const GlibModuleProgram program{&DisplayText, &DisplayColumns, &ParseWholeNumber};
  module.calls = entry(GlibModuleBuild().c_str(), &program);
  if (module.calls == nullptr) {
    module.reason = failed + "it belongs to another build than " + GlibModuleBuild();
  }
  return module;
}

// The keyring without the module: every call fails with why, as a keyring
// that cannot be reached does.
class UnloadedSecretStore final : public SecretStore {
 public:
  explicit UnloadedSecretStore(std::string reason) : reason_(std::move(reason)) {}
  SecretResult Read(const SecretKey& /*key*/) override { return {false, {}, reason_}; }
  SecretResult Write(const SecretKey& /*key*/, std::string_view /*label*/,
                     std::string_view /*secret*/) override {
    return {false, {}, reason_};
  }
  SecretResult Erase(const SecretKey& /*key*/) override { return {false, {}, reason_}; }

 private:
  std::string reason_;
};

}  // namespace

std::string GlibModuleBuild() {
  return std::string(ProgramVersion()) + " " + std::string(ProgramCommit());
}

const GlibModule& LoadGlibModule() {
  static const GlibModule module = Load();
  return module;
}

void SetGlibModuleFile(std::string file) { ModuleFile() = std::move(file); }

std::unique_ptr<SecretStore> SystemSecretStore() {
  const GlibModule& module = LoadGlibModule();
  if (module.calls == nullptr) {
    return std::make_unique<UnloadedSecretStore>("No keyring: " + module.reason);
  }
  return module.calls->secretStore();
}

std::unique_ptr<ProgramBus> ExportProgramBus(EventLoop& loop, ProgramBusHost& host,
                                             const std::filesystem::path& folder,
                                             std::function<void(std::string_view)> tell,
                                             std::string& why) {
  const GlibModule& module = LoadGlibModule();
  if (module.calls == nullptr) {
    why = module.reason;
    if (tell) tell("Not offered on the session bus: " + why);
    return nullptr;
  }
  return module.calls->exportProgramBus(loop, host, folder, std::move(tell), why);
}

bool SystemKeyringReachable() {
  const GlibModule& module = LoadGlibModule();
  return module.calls != nullptr && module.calls->keyringReachable();
}

std::optional<RunningProgramCounts> AskRunningProgram(int timeoutMs, std::string& why) {
  const GlibModule& module = LoadGlibModule();
  if (module.calls == nullptr) {
    why = module.reason;
    return std::nullopt;
  }
  return module.calls->askRunningProgram(timeoutMs, why);
}

}  // namespace corvel
