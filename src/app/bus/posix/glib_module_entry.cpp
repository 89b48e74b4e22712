// The entry point of the module corvel-glib.so (see glib_module.h), and the
// text functions the module borrows from the program that loads it.
#include "app/bus/posix/glib_module.h"
#include "app/version.h"

namespace corvel {
namespace {

const GlibModuleProgram* lent = nullptr;  // set by the entry point, before any call

}  // namespace

std::string DisplayText(std::string_view bytes) { return lent->displayText(bytes); }

std::array<std::string, kMailColumnCount> DisplayColumns(const MailRow& row) {
  return lent->displayColumns(row);
}

std::optional<std::int32_t> ParseWholeNumber(std::string_view text) {
  return lent->parseWholeNumber(text);
}

std::string GlibModuleBuild() {
  return std::string(ProgramVersion()) + " " + std::string(ProgramCommit());
}

}  // namespace corvel

extern "C" __attribute__((visibility("default"))) const corvel::GlibModuleCalls* corvel_glib_module(
    const char* build, const corvel::GlibModuleProgram* program) {
  static const corvel::GlibModuleCalls calls{&corvel::SystemSecretStore, &corvel::ExportProgramBus,
                                             &corvel::SystemKeyringReachable,
                                             &corvel::AskRunningProgram};
  if (build == nullptr || program == nullptr || corvel::GlibModuleBuild() != build) return nullptr;
  corvel::lent = program;
  return &calls;
}
