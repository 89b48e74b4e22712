#include "app/account_secrets.h"

#include "accounts/oauth_settings.h"
#include "app/token_command.h"
#include "codec/exception.h"

namespace corvel {

AccountSecrets::AccountSecrets(const std::filesystem::path& accountsFile, int tokenCommandTimeoutMs)
    : settingsFile_(OAuthSettingsFileFor(accountsFile)),
      tokenCommandTimeoutMs_(tokenCommandTimeoutMs) {}

LoginSecret AccountSecrets::LoginSecretOf(const AccountRecord& record) {
  switch (record.Login()) {
    case LoginKind::loginOAuthCommand:
      return TokenFromCommand(record);
    case LoginKind::loginOAuthBuiltIn:
      return {false, {}, "Built-in OAuth2 authorization is not available in this build"};
    case LoginKind::loginPassword:
      break;
  }
  if (record.SecretIn() == SecretPlace::secretKeyring) return PasswordFromKeyring(record);
  return FileLoginSecret(record);
}

LoginSecret AccountSecrets::PasswordFromKeyring(const AccountRecord& record) {
  if (!keyring_) keyring_ = SystemSecretStore();
  SecretResult result = keyring_->Read(KeyringKeyOf(record));
  if (!result.ok) return {false, {}, "Password not available: " + result.reason};
  return {true, std::move(result.secret), {}};
}

SecretKey KeyringKeyOf(const AccountRecord& record) {
  return {record.PlainServer(), record.Port, record.PlainUserName(),
          std::string(kSecretKindPassword)};
}

std::string KeyringLabelOf(const AccountRecord& record) {
  return "Corvel: " + record.PlainAccountName() + " (" + record.PlainUserName() + " on " +
         record.PlainServer() + ")";
}

LoginSecret AccountSecrets::TokenFromCommand(const AccountRecord& record) {
  OAuthSettingsFile file(settingsFile_);
  try {
    file.Load();
  } catch (const Exception& e) {
    return {false, {}, std::string("OAuth2 settings cannot be read: ") + e.what()};
  }
  const auto settings = file.Find(record.PlainUidlFileName());
  if (!settings || settings->command.empty()) {
    return {false, {}, "No token command set for this account"};
  }
  TokenCommandResult result = RunTokenCommand(settings->command, tokenCommandTimeoutMs_);
  if (!result.ok) return {false, {}, std::move(result.reason)};
  return {true, std::move(result.token), {}};
}

}  // namespace corvel
