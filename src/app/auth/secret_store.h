// Secrets kept outside the accounts file, in the system's keyring: the Secret
// Service over D-Bus on Linux (the Windows Credential Manager has the same
// shape). An account's secret is filed under its server, port and user name,
// what it is, and the account's own identity (its seen-file name), so that
// two accounts of the same user on the same server never share an entry; the
// keyring's own manager shows it by those. Entries of older versions carry
// no identity; a key without one reaches only those.
//
// Nothing here ever falls back to the accounts file: a keyring that is locked
// or absent is a failure with its reason, for the caller to tell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvel {

inline constexpr std::string_view kSecretKindPassword = "password";
inline constexpr std::string_view kSecretKindRefreshToken = "oauth2-refresh-token";

struct SecretKey {
  std::string server;
  std::int32_t port = 0;
  std::string user;
  std::string kind{kSecretKindPassword};
  // The account's seen-file name; empty: an entry of an older version.
  std::string account;
  friend bool operator==(const SecretKey&, const SecretKey&) = default;
};

struct SecretResult {
  bool ok = false;
  std::string secret;  // Read: the secret
  std::string reason;  // when not ok: why, for the log or the terminal
};

class SecretStore {
 public:
  virtual ~SecretStore() = default;
  // The secret filed under `key`; not ok when there is none, or when the
  // keyring is locked or cannot be reached. Never prompts.
  [[nodiscard]] virtual SecretResult Read(const SecretKey& key) = 0;
  // Files `secret` under `key` (replacing what was there), shown in the
  // keyring's manager as `label`. A key without an account is refused.
  [[nodiscard]] virtual SecretResult Write(const SecretKey& key, std::string_view label,
                                           std::string_view secret) = 0;
  // Removes what is filed under `key`; ok when nothing was there.
  [[nodiscard]] virtual SecretResult Erase(const SecretKey& key) = 0;
};

// The system's keyring (the Secret Service on Linux).
[[nodiscard]] std::unique_ptr<SecretStore> SystemSecretStore();

}  // namespace corvel
