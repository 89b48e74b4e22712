// The program's version, set in one place by the build, and the git commit
// it was built from (empty outside a checkout).
#pragma once

#include <string>
#include <string_view>

namespace corvel {

[[nodiscard]] std::string_view ProgramVersion();
[[nodiscard]] std::string_view ProgramCommit();

// "0.6 (commit 0123456789ab)", or "0.6" when the commit is unknown.
[[nodiscard]] std::string VersionText();

}  // namespace corvel
