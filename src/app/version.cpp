#include "app/version.h"

namespace corvel {

std::string VersionText() {
  std::string text(ProgramVersion());
  if (!ProgramCommit().empty()) text += " (commit " + std::string(ProgramCommit()) + ")";
  return text;
}

}  // namespace corvel
