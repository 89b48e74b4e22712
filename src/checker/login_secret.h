// Where the check cycle gets the secret an account logs in with: its password
// (from the accounts file or the system's keyring) or an OAuth 2.0 access
// token (printed by the user's token command, or from Corvel's own
// authorization). The window that owns the cycle supplies the source; the
// secret is fetched anew for every check and never written to the log.
#pragma once

#include <string>

#include "accounts/account_record.h"

namespace corvel {

struct LoginSecret {
  bool ok = false;
  std::string secret;  // the password or the access token
  std::string reason;  // when not ok: why there is none, as the log tells it
};

class SecretSource {
 public:
  virtual ~SecretSource() = default;
  // The secret for `record`, fetched now. Runs on the check's thread and may
  // take a while (a token command, the keyring's answer).
  [[nodiscard]] virtual LoginSecret LoginSecretOf(const AccountRecord& record) = 0;
  // The server refused the secret of `record` (an access token that has
  // run out or was revoked): a secret kept for later is dropped.
  virtual void LoginRefused(const AccountRecord& /*record*/) {}
};

// The password of an account that keeps it in the file; no secret for any
// other (the source that can fetch it must be supplied).
[[nodiscard]] LoginSecret FileLoginSecret(const AccountRecord& record);

}  // namespace corvel
