// The secrets the check cycle logs in with, fetched for each check: the
// password kept in the accounts file or in the system's keyring, or the
// access token of an OAuth2 account, printed by its token command (named in
// the OAuth2 settings file beside the accounts file) or got from the
// provider's token endpoint with the refresh token kept in the keyring.
//
// The access tokens of Corvel's own authorization are kept in memory only,
// until a minute before they expire or until a server refuses one. The token
// command and the token endpoint are waited for on a worker thread while the
// event loop goes on running, as a blocking POP3 call waits for its server.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "accounts/oauth_settings.h"
#include "app/auth/secret_store.h"
#include "checker/login_secret.h"
#include "net/event_loop.h"

namespace corvel {

// How long a token command may run before it is killed and the check fails.
inline constexpr int kTokenCommandTimeoutMs = 60000;

// What the keyring files a client secret of Corvel's own authorization
// under; the settings file then holds kKeyringMarker in its place.
inline constexpr std::string_view kSecretKindClientSecret = "oauth2-client-secret";

class AccountSecrets final : public SecretSource {
 public:
  // `loop`: the loop kept running while a token is fetched; without one the
  // fetch blocks.
  explicit AccountSecrets(const std::filesystem::path& accountsFile, EventLoop* loop = nullptr,
                          int tokenCommandTimeoutMs = kTokenCommandTimeoutMs);
  ~AccountSecrets() override;

  [[nodiscard]] LoginSecret LoginSecretOf(const AccountRecord& record) override;
  void LoginRefused(const AccountRecord& record) override;

  // The keyring to use instead of the system's (tests).
  void UseKeyring(std::shared_ptr<SecretStore> keyring) { keyring_ = std::move(keyring); }
  // The keyring the secrets are read from (the system's, reached at the
  // first need).
  SecretStore& Keyring();

 private:
  LoginSecret TokenFromCommand(const AccountRecord& record);
  LoginSecret BuiltInAccessToken(const AccountRecord& record);
  LoginSecret PasswordFromKeyring(const AccountRecord& record);
  std::optional<OAuthSettings> SettingsOf(const AccountRecord& record, LoginSecret& failure);
  // Runs `work` on a worker thread while the loop runs; its result.
  LoginSecret OffLoop(std::function<LoginSecret()> work);

  struct CachedToken {
    std::string token;
    std::chrono::steady_clock::time_point expires;
  };

  std::filesystem::path settingsFile_;
  EventLoop* loop_;
  int tokenCommandTimeoutMs_;
  std::shared_ptr<SecretStore> keyring_;  // reached at the first need
  std::map<std::string, CachedToken> accessTokens_;
};

// Where an account's password or refresh token is filed in the keyring (by
// the account's own identity, its seen-file name, too), and the label the
// keyring's manager shows for it.
[[nodiscard]] SecretKey KeyringKeyOf(const AccountRecord& record,
                                     std::string_view kind = kSecretKindPassword);
[[nodiscard]] std::string KeyringLabelOf(const AccountRecord& record,
                                         std::string_view what = "password");
// Where older versions filed it: by server, port and user only.
[[nodiscard]] SecretKey LegacyKeyringKeyOf(const AccountRecord& record,
                                           std::string_view kind = kSecretKindPassword);

// The account's secret of `kind`: filed under its own key, or else under the
// key of older versions, and then copied to its own key. The older entry
// stays, for another account (of another folder) that may still read it.
[[nodiscard]] SecretResult ReadAccountSecret(SecretStore& keyring, const AccountRecord& record,
                                             std::string_view kind = kSecretKindPassword);
// Removes the account's secret of `kind`, under its own key and under the key
// of older versions.
[[nodiscard]] SecretResult EraseAccountSecret(SecretStore& keyring, const AccountRecord& record,
                                              std::string_view kind = kSecretKindPassword);

// The reason a check gives when the refresh token is refused.
[[nodiscard]] std::string AuthorizationLostReason(const AccountRecord& record,
                                                  std::string_view why);

}  // namespace corvel
