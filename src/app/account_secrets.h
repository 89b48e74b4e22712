// The secrets the check cycle logs in with, fetched for each check: the
// password kept in the accounts file or in the system's keyring, or the
// access token of an OAuth2 account, printed by its token command (named in
// the OAuth2 settings file beside the accounts file).
#pragma once

#include <filesystem>
#include <memory>

#include "app/secret_store.h"
#include "checker/login_secret.h"

namespace corvel {

// How long a token command may run before it is killed and the check fails.
inline constexpr int kTokenCommandTimeoutMs = 60000;

class AccountSecrets final : public SecretSource {
 public:
  explicit AccountSecrets(const std::filesystem::path& accountsFile,
                          int tokenCommandTimeoutMs = kTokenCommandTimeoutMs);

  [[nodiscard]] LoginSecret LoginSecretOf(const AccountRecord& record) override;

 private:
  LoginSecret TokenFromCommand(const AccountRecord& record);
  LoginSecret PasswordFromKeyring(const AccountRecord& record);

  std::filesystem::path settingsFile_;
  int tokenCommandTimeoutMs_;
  std::unique_ptr<SecretStore> keyring_;  // reached at the first need
};

// Where a password account's password is filed in the keyring, and the label
// the keyring's manager shows for it.
[[nodiscard]] SecretKey KeyringKeyOf(const AccountRecord& record);
[[nodiscard]] std::string KeyringLabelOf(const AccountRecord& record);

}  // namespace corvel
