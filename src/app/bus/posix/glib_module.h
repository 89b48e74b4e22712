// The keyring (libsecret) and the session bus (GIO's D-Bus) live in a module
// of their own, corvel-glib.so, which the program loads the first time it
// needs either: GLib, GIO, libsecret and their tree of libraries (gcrypt,
// mount, selinux, pcre2 ...) would cost every start a couple of milliseconds
// of loading, a check of accounts whose passwords are in the file included.
//
// The module defines SystemSecretStore(), ExportProgramBus(),
// SystemKeyringReachable() and AskRunningProgram() itself
// (auth/posix/system_secret_store.cpp, bus/posix/program_bus.cpp) and hands
// them out through its one entry point; the program's own definitions of
// those functions (glib_module.cpp) load the module and call them. Nothing
// else of the module is visible outside it. std:: types cross between the
// two, so the module must come from the same build as the program: the entry
// point refuses any other.
#pragma once

#include <memory>
#include <string>

#include "app/auth/secret_store.h"
#include "app/bus/program_bus.h"
#include "app/text/display_text.h"
#include "codec/whole_number.h"

namespace corvel {

// The module's file name.
inline constexpr char kGlibModuleFile[] = "corvel-glib.so";

// What the program lends the module: the text functions the bus answers
// with, so that the module holds no copy of them.
struct GlibModuleProgram {
  decltype(&DisplayText) displayText = nullptr;
  decltype(&DisplayColumns) displayColumns = nullptr;
  decltype(&ParseWholeNumber) parseWholeNumber = nullptr;
};

// What the module offers: its own definitions of the functions above.
struct GlibModuleCalls {
  decltype(&SystemSecretStore) secretStore = nullptr;
  decltype(&ExportProgramBus) exportProgramBus = nullptr;
  decltype(&SystemKeyringReachable) keyringReachable = nullptr;
  decltype(&AskRunningProgram) askRunningProgram = nullptr;
};

// The module's entry point (an extern "C" function of this name): its calls,
// or nullptr when `build` (the program's version and commit) is not the
// module's own. `program` must outlive the module's use.
inline constexpr char kGlibModuleEntry[] = "corvel_glib_module";
using GlibModuleEntry = const GlibModuleCalls* (*)(const char* build,
                                                   const GlibModuleProgram* program);

// The build a module must come from: the program's version and commit.
[[nodiscard]] std::string GlibModuleBuild();

// The module, loaded at the first call (once per process, safe on any
// thread): its calls, or none and why, naming the module's file.
struct GlibModule {
  const GlibModuleCalls* calls = nullptr;
  std::string reason;
};
[[nodiscard]] const GlibModule& LoadGlibModule();

// Loads the module from `file` instead of looking for it; for tests, which
// point it at a file that does not exist. Has no effect after the first
// LoadGlibModule().
void SetGlibModuleFile(std::string file);

}  // namespace corvel
