#include "app/auth/account_login.h"

#include <initializer_list>

#include "app/auth/account_secrets.h"
#include "app/auth/oauth_flow.h"
#include "app/process/command_line.h"

namespace corvel {
namespace {

std::string_view SecretWhat(std::string_view kind) {
  return kind == kSecretKindRefreshToken ? "OAuth2 refresh token" : "OAuth2 client secret";
}

}  // namespace

void PlacePassword(SecretStore& keyring, const AccountRecord& before, AccountRecord& record,
                   const std::optional<std::string>& typed, bool toKeyring) {
  if (record.UsesOAuth()) {
    record.SetSecretIn(SecretPlace::secretFile);
    return;
  }
  const bool wasInKeyring = before.SecretIn() == SecretPlace::secretKeyring;
  if (!wasInKeyring && !toKeyring) {
    if (typed) record.SetPlainPassword(*typed);
    record.SetSecretIn(SecretPlace::secretFile);
    return;
  }
  std::string password;
  if (typed) {
    password = *typed;
  } else if (wasInKeyring) {
    if (toKeyring && KeyringKeyOf(before) == KeyringKeyOf(record)) return;  // it stays
    SecretResult read = ReadAccountSecret(keyring, before);
    if (!read.ok) throw KeyringRefusal(read.reason);
    password = std::move(read.secret);
  } else {
    password = before.PlainPassword();
  }
  if (toKeyring) {
    const SecretResult written =
        keyring.Write(KeyringKeyOf(record), KeyringLabelOf(record), password);
    if (!written.ok) throw KeyringRefusal(written.reason);
    record.SetPlainPassword(kKeyringMarker);
    record.SetSecretIn(SecretPlace::secretKeyring);
  } else {
    record.SetPlainPassword(password);
    record.SetSecretIn(SecretPlace::secretFile);
  }
}

std::string ForgetOldKeyringEntry(SecretStore& keyring, const AccountRecord& before,
                                  const AccountRecord& record) {
  if (before.SecretIn() != SecretPlace::secretKeyring) return {};
  const bool same = record.SecretIn() == SecretPlace::secretKeyring &&
                    KeyringKeyOf(before) == KeyringKeyOf(record);
  if (same) return {};
  const SecretResult erased = EraseAccountSecret(keyring, before);
  return erased.ok ? std::string() : "The old password stays in the keyring: " + erased.reason;
}

std::string ForgetAuthorization(SecretStore& keyring, const AccountRecord& record) {
  std::string left;
  for (std::string_view kind : {kSecretKindRefreshToken, kSecretKindClientSecret}) {
    const SecretResult erased = EraseAccountSecret(keyring, record, kind);
    if (!erased.ok) {
      left += (left.empty() ? "" : "\n") + std::string("The ") + std::string(SecretWhat(kind)) +
              " stays in the keyring: " + erased.reason;
    }
  }
  return left;
}

std::string FollowAuthorization(SecretStore& keyring, const AccountRecord& before,
                                const AccountRecord& record) {
  if (before.Login() != LoginKind::loginOAuthBuiltIn) return {};
  if (record.Login() != LoginKind::loginOAuthBuiltIn) return ForgetAuthorization(keyring, before);
  for (std::string_view kind : {kSecretKindRefreshToken, kSecretKindClientSecret}) {
    const SecretKey to = KeyringKeyOf(record, kind);
    if (KeyringKeyOf(before, kind) == to) return {};
    const SecretResult secret = ReadAccountSecret(keyring, before, kind);
    if (!secret.ok && kind == kSecretKindClientSecret) continue;  // there was none
    SecretResult moved = secret;
    if (moved.ok)
      moved = keyring.Write(to, KeyringLabelOf(record, SecretWhat(kind)), secret.secret);
    if (moved.ok) moved = EraseAccountSecret(keyring, before, kind);
    if (!moved.ok) {
      return "The OAuth2 authorization did not follow the account (" + moved.reason +
             "): sign in again (corvel accounts authorize " + record.PlainAccountName() + ")";
    }
  }
  return {};
}

std::optional<std::string> TokenCommandRefusal(std::string_view command) {
  if (command.find_first_of("\r\n") != std::string_view::npos) {
    return "the token command takes one line";
  }
  std::string why;
  if (!SplitCommandLine(command, &why)) return "the token command cannot be read: " + why;
  return std::nullopt;
}

std::optional<OAuthSettings> SignInSettings(const AccountForm& form, std::string& why) {
  OAuthSettings settings;
  settings.provider = std::string(ProviderOfChoice(form.login));
  settings.clientId = form.clientId;
  if (form.login == LoginChoice::otherOAuth) {
    settings.authorizeUrl = form.authorizeUrl;
    settings.tokenUrl = form.tokenUrl;
    settings.scope = form.scope;
  } else if (form.login == LoginChoice::microsoft && form.protocol == MailProtocol::imap) {
    // Microsoft grants IMAP and POP3 logins under scopes of their own.
    settings.scope = std::string(kMicrosoftImapScope);
  }
  for (const std::string* value : std::initializer_list<const std::string*>{
           &settings.clientId, &settings.authorizeUrl, &settings.tokenUrl, &settings.scope,
           &form.clientSecret}) {
    if (value->find_first_of("\r\n") != std::string::npos) {
      why = "an OAuth2 setting cannot hold a line break";
      return std::nullopt;
    }
  }
  if (auto refused = CompleteProviderSettings(settings)) {
    why = *refused;
    return std::nullopt;
  }
  return settings;
}

bool SameSignIn(const OAuthSettings& a, const OAuthSettings& b) {
  return a.provider == b.provider && a.clientId == b.clientId && a.authorizeUrl == b.authorizeUrl &&
         a.tokenUrl == b.tokenUrl && a.scope == b.scope;
}

bool AuthorizationLost(std::string_view reason) {
  return reason.starts_with("the OAuth2 authorization has expired or was revoked");
}

std::string ProviderDisplayName(const OAuthSettings& settings) {
  if (settings.provider == "microsoft") return "Microsoft";
  if (settings.provider == "google") return "Google";
  std::string_view host = settings.authorizeUrl;
  if (const std::size_t scheme = host.find("://"); scheme != std::string_view::npos) {
    host.remove_prefix(scheme + 3);
  }
  host = host.substr(0, host.find_first_of("/?#"));
  if (const std::size_t at = host.rfind('@'); at != std::string_view::npos) {
    host.remove_prefix(at + 1);
  }
  if (const std::size_t colon = host.rfind(':');
      colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
    host = host.substr(0, colon);
  }
  return host.empty() ? std::string("the provider") : std::string(host);
}

}  // namespace corvel
