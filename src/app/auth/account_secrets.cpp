#include "app/auth/account_secrets.h"

#include <atomic>
#include <exception>
#include <thread>

#include "app/auth/oauth_flow.h"
#include "app/auth/token_command.h"
#include "codec/exception.h"

namespace corvel {
namespace {

// An access token this close to its end is renewed before a login.
constexpr std::chrono::seconds kRenewBefore{60};

std::string CacheKeyOf(const AccountRecord& record) {
  return record.PlainUidlFileName() + '\n' + record.PlainServer() + '\n' +
         std::to_string(record.Port) + '\n' + record.PlainUserName();
}

}  // namespace

AccountSecrets::AccountSecrets(const std::filesystem::path& accountsFile, EventLoop* loop,
                               int tokenCommandTimeoutMs)
    : settingsFile_(OAuthSettingsFileFor(accountsFile)),
      loop_(loop),
      tokenCommandTimeoutMs_(tokenCommandTimeoutMs) {}

AccountSecrets::~AccountSecrets() = default;

LoginSecret AccountSecrets::LoginSecretOf(const AccountRecord& record) {
  switch (record.Login()) {
    case LoginKind::loginOAuthCommand:
      return TokenFromCommand(record);
    case LoginKind::loginOAuthBuiltIn:
      return BuiltInAccessToken(record);
    case LoginKind::loginPassword:
      break;
  }
  if (record.SecretIn() == SecretPlace::secretKeyring) return PasswordFromKeyring(record);
  return FileLoginSecret(record);
}

void AccountSecrets::LoginRefused(const AccountRecord& record) {
  accessTokens_.erase(CacheKeyOf(record));
}

SecretStore& AccountSecrets::Keyring() {
  if (!keyring_) keyring_ = SystemSecretStore();
  return *keyring_;
}

LoginSecret AccountSecrets::PasswordFromKeyring(const AccountRecord& record) {
  SecretResult result = ReadAccountSecret(Keyring(), record);
  if (!result.ok) return {false, {}, "Password not available: " + result.reason};
  return {true, std::move(result.secret), {}};
}

SecretKey KeyringKeyOf(const AccountRecord& record, std::string_view kind) {
  SecretKey key = LegacyKeyringKeyOf(record, kind);
  key.account = record.PlainUidlFileName();
  return key;
}

SecretKey LegacyKeyringKeyOf(const AccountRecord& record, std::string_view kind) {
  return {record.PlainServer(), record.Port, record.PlainUserName(), std::string(kind), {}};
}

SecretResult ReadAccountSecret(SecretStore& keyring, const AccountRecord& record,
                               std::string_view kind) {
  const SecretKey key = KeyringKeyOf(record, kind);
  SecretResult own = keyring.Read(key);
  if (own.ok || key.account.empty()) return own;
  SecretResult older = keyring.Read(LegacyKeyringKeyOf(record, kind));
  if (!older.ok) return own;
  // Kept under the account's own key from now on; should the keyring refuse,
  // the older entry still serves.
  const std::string_view what = kind == kSecretKindRefreshToken   ? "OAuth2 refresh token"
                                : kind == kSecretKindClientSecret ? "OAuth2 client secret"
                                                                  : "password";
  (void)keyring.Write(key, KeyringLabelOf(record, what), older.secret);
  return older;
}

SecretResult EraseAccountSecret(SecretStore& keyring, const AccountRecord& record,
                                std::string_view kind) {
  SecretResult erased = keyring.Erase(KeyringKeyOf(record, kind));
  if (erased.ok) erased = keyring.Erase(LegacyKeyringKeyOf(record, kind));
  return erased;
}

std::string KeyringLabelOf(const AccountRecord& record, std::string_view what) {
  std::string label = "Corvel: " + record.PlainAccountName() + " (" + record.PlainUserName() +
                      " on " + record.PlainServer() + ")";
  if (what != "password") label += ", " + std::string(what);
  return label;
}

std::string AuthorizationLostReason(const AccountRecord& record, std::string_view why) {
  return "the OAuth2 authorization has expired or was revoked (" + std::string(why) +
         "): run corvel accounts authorize " + record.PlainAccountName();
}

std::optional<OAuthSettings> AccountSecrets::SettingsOf(const AccountRecord& record,
                                                        LoginSecret& failure) {
  OAuthSettingsFile file(settingsFile_);
  try {
    file.Load();
  } catch (const Exception& e) {
    failure = {false, {}, std::string("OAuth2 settings cannot be read: ") + e.what()};
    return std::nullopt;
  }
  auto settings = file.Find(record.PlainUidlFileName());
  if (!settings) failure = {false, {}, "No OAuth2 settings for this account"};
  return settings;
}

LoginSecret AccountSecrets::TokenFromCommand(const AccountRecord& record) {
  LoginSecret failure;
  const auto settings = SettingsOf(record, failure);
  if (!settings) return failure;
  if (settings->command.empty()) return {false, {}, "No token command set for this account"};
  const int timeoutMs = tokenCommandTimeoutMs_;
  return OffLoop([command = settings->command, timeoutMs] {
    TokenCommandResult result = RunTokenCommand(command, timeoutMs);
    if (!result.ok) return LoginSecret{false, {}, std::move(result.reason)};
    return LoginSecret{true, std::move(result.token), {}};
  });
}

LoginSecret AccountSecrets::BuiltInAccessToken(const AccountRecord& record) {
  const std::string key = CacheKeyOf(record);
  const auto now = std::chrono::steady_clock::now();
  if (const auto cached = accessTokens_.find(key);
      cached != accessTokens_.end() && cached->second.expires - now > kRenewBefore) {
    return {true, cached->second.token, {}};
  }
  accessTokens_.erase(key);
  LoginSecret failure;
  const auto settings = SettingsOf(record, failure);
  if (!settings) return failure;
  if (settings->tokenUrl.empty() || settings->clientId.empty()) {
    return {false, {}, AuthorizationLostReason(record, "no provider settings")};
  }

  // The keyring and the token endpoint are reached from the worker; the
  // cache is this thread's.
  std::int64_t expiresIn = 0;
  SecretStore& keyring = Keyring();
  LoginSecret secret = OffLoop([&keyring, record, &expiresIn, settings = *settings] {
    SecretResult refresh = ReadAccountSecret(keyring, record, kSecretKindRefreshToken);
    if (!refresh.ok) {
      return LoginSecret{false, {}, "OAuth2 refresh token not available: " + refresh.reason};
    }
    std::string clientSecret = settings.clientSecret;
    if (clientSecret == kKeyringMarker) {
      SecretResult stored = ReadAccountSecret(keyring, record, kSecretKindClientSecret);
      if (!stored.ok) {
        return LoginSecret{false, {}, "OAuth2 client secret not available: " + stored.reason};
      }
      clientSecret = std::move(stored.secret);
    }
    TokenGrant grant = RefreshAccessToken(settings, clientSecret, refresh.secret);
    if (!grant.ok) {
      return LoginSecret{false,
                         {},
                         grant.invalidGrant
                             ? AuthorizationLostReason(record, grant.reason)
                             : "cannot renew the OAuth2 access token: " + grant.reason};
    }
    if (!grant.refreshToken.empty() && grant.refreshToken != refresh.secret) {
      // The provider turned the refresh token over: the old one is spent.
      const SecretResult stored =
          keyring.Write(KeyringKeyOf(record, kSecretKindRefreshToken),
                        KeyringLabelOf(record, "OAuth2 refresh token"), grant.refreshToken);
      if (!stored.ok) {
        return LoginSecret{
            false, {}, "the new OAuth2 refresh token could not be kept: " + stored.reason};
      }
    }
    expiresIn = grant.expiresInSeconds;
    return LoginSecret{true, std::move(grant.accessToken), {}};
  });
  if (secret.ok) {
    accessTokens_[key] = {secret.secret, now + std::chrono::seconds(expiresIn)};
  }
  return secret;
}

LoginSecret AccountSecrets::OffLoop(std::function<LoginSecret()> work) {
  auto run = [&work] {
    try {
      return work();
    } catch (const std::exception& e) {
      return LoginSecret{false, {}, e.what()};
    }
  };
  if (loop_ == nullptr) return run();
  std::atomic<bool> done{false};
  LoginSecret result;
  std::thread worker([&] {
    result = run();
    done = true;
    loop_->Post([] {});  // wakes the wait below
  });
  // The events keep coming meanwhile; a loop told to end stops being run
  // (the worker is still waited for, within its own limit).
  try {
    while (!done && !loop_->Terminated()) loop_->ProcessEvents(1000);
  } catch (...) {
    worker.join();
    throw;
  }
  worker.join();
  return result;
}

}  // namespace corvel
