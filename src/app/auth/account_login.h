// The rules of an account's login that both the account editor and the
// `corvel accounts` commands follow: where a password goes (the keyring or
// the accounts file) and how it moves between them, what happens to the
// keyring's entries when an account changes its server, port or user or its
// kind of login, and which token commands and sign-in settings are taken.
// The form's own rules (empty fields, ports) are in accounts/account_form.h.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "accounts/account_form.h"
#include "accounts/account_record.h"
#include "accounts/oauth_settings.h"
#include "app/auth/secret_store.h"

namespace corvel {

// A keyring step refused (locked, absent); what() is the keyring's reason.
class KeyringRefusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Puts a password account's password where it is to be kept: into the
// keyring (the field then holds kKeyringMarker) or into the field. `before`
// is the account as the file holds it; `typed` the password typed, or
// nothing to keep the one it has (read from the keyring when it moves out of
// it, or when the account's server, port or user changed). An OAuth2 record
// is left as it is. Throws KeyringRefusal; the record is then unchanged in
// its secret, and nothing must be written.
void PlacePassword(SecretStore& keyring, const AccountRecord& before, AccountRecord& record,
                   const std::optional<std::string>& typed, bool toKeyring);

// After the record is written: the keyring's password entry the account no
// longer uses goes. Returns what could not be done (empty when all went).
[[nodiscard]] std::string ForgetOldKeyringEntry(SecretStore& keyring, const AccountRecord& before,
                                                const AccountRecord& record);
// The entries of Corvel's own authorization of `record` leave the keyring.
[[nodiscard]] std::string ForgetAuthorization(SecretStore& keyring, const AccountRecord& record);
// After the record is written: the refresh token (and a client secret) of
// Corvel's own authorization follow a change of server, port or user, and
// leave the keyring when the account no longer signs in.
[[nodiscard]] std::string FollowAuthorization(SecretStore& keyring, const AccountRecord& before,
                                              const AccountRecord& record);

// Why a token command cannot be taken ("the token command takes one line",
// a quote left open), or nothing.
[[nodiscard]] std::optional<std::string> TokenCommandRefusal(std::string_view command);

// The OAuth2 settings a sign-in form stands for, completed with the known
// provider's endpoints and scope; nothing, with why, when they cannot be
// used (no client ID, an endpoint that is not https, no scope).
[[nodiscard]] std::optional<OAuthSettings> SignInSettings(const AccountForm& form,
                                                          std::string& why);
// Whether two settings sign in the same way (provider, client, endpoints,
// scope).
[[nodiscard]] bool SameSignIn(const OAuthSettings& a, const OAuthSettings& b);

// Whether a check's reason says the provider no longer takes the refresh
// token (expired, revoked): only a new sign-in helps.
[[nodiscard]] bool AuthorizationLost(std::string_view reason);

// The provider as a person names it: "Microsoft", "Google", or the host of
// another provider's authorization address.
[[nodiscard]] std::string ProviderDisplayName(const OAuthSettings& settings);

}  // namespace corvel
