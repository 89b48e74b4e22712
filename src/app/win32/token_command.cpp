// Token commands on Windows are not supported yet: an OAuth2 account with one
// fails its check with this reason instead of logging in without a token.
#include "app/token_command.h"

namespace corvel {

TokenCommandResult RunTokenCommand(std::string_view /*commandLine*/, int /*timeoutMs*/) {
  return {false, {}, "Token commands are not supported on Windows yet"};
}

}  // namespace corvel
