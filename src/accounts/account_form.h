// The rules of the account editor that do not depend on a screen: the fields
// of the form, their validation (six messages for empty fields, in this order,
// then a port or interval that cannot be stored), the conversion of the form
// into a record, the duplicate-name rule and the limit of 100 accounts. The
// editor on the "Accounts" tab and the `corvel accounts` command both follow
// them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/account_file.h"
#include "accounts/account_options.h"
#include "accounts/account_record.h"
#include "accounts/oauth_settings.h"
#include "codec/whole_number.h"

namespace corvel {

inline constexpr std::int32_t kDefaultPort = 110;
inline constexpr std::int32_t kDefaultInterval = 300;
inline constexpr std::int32_t kMinInterval = 10;
inline constexpr std::size_t kMaxAccounts = 100;

inline constexpr std::string_view kDuplicateNameMessage =
    "An account with that name already exists!";
inline constexpr std::string_view kTooManyAccountsMessage =
    "The accounts file already holds 100 accounts, the most Corvel can check. "
    "Delete an account before adding another.";

inline constexpr std::string_view kAccountGoneMessage =
    "This account is no longer in the accounts file: another program deleted it meanwhile. "
    "Nothing was written.";

// How an account logs in, as the editor offers it: with a password, with
// Corvel's own OAuth2 authorization at a known or another provider, or with
// an access token a command of the user's prints.
enum class LoginChoice { password, microsoft, google, otherOAuth, tokenCommand };
inline constexpr std::array<std::string_view, 5> kLoginChoices = {
    "Password", "Sign in with Microsoft\u2026", "Sign in with Google\u2026",
    "Other OAuth2 provider\u2026", "Token command\u2026"};

// The choice a caption of kLoginChoices stands for; any other text is
// "Password".
[[nodiscard]] LoginChoice LoginChoiceOf(std::string_view caption);
[[nodiscard]] std::string_view LoginChoiceCaption(LoginChoice choice);
// Whether the choice signs in with Corvel's own authorization.
[[nodiscard]] bool SignsIn(LoginChoice choice);
// The provider a sign-in choice names in the OAuth2 settings ("microsoft",
// "google", "custom"), and the choice a provider stands for.
[[nodiscard]] std::string_view ProviderOfChoice(LoginChoice choice);
[[nodiscard]] LoginChoice ChoiceOfProvider(std::string_view provider);

// The editor's fields, as typed.
struct AccountForm {
  bool enabled = false;
  std::string name;
  std::string server;
  std::string port = "110";
  std::string user;
  std::string password;
  std::string interval = "300";
  bool leaveMail = false;
  std::uint8_t securityMode = 0;
  // Kept in the options side file, not in the record.
  MailProtocol protocol = MailProtocol::pop3;
  std::string folders = std::string(kDefaultFolder);  // IMAP: "INBOX,Lists/dev"
  // The login. The password field of an account that has no password in
  // the file holds a marker (kKeyringMarker, kOAuthMarker).
  LoginChoice login = LoginChoice::password;
  bool keepInKeyring = false;
  std::string clientId;
  std::string clientSecret;  // as typed; empty: none, or the one kept stays
  std::string authorizeUrl;  // another provider's endpoints and scope
  std::string tokenUrl;
  std::string scope;
  std::string tokenCommand;
  // Kept in the options side file: no balloons for this account.
  bool quiet = false;
};

// The first empty field's message: "No account name specified!", "No server
// specified!", "No port specified!", "No user name specified!", "No password
// specified!", "No interval specified!"; nothing when all are filled in.
[[nodiscard]] std::optional<std::string_view> MissingFieldMessage(const AccountForm& form);

// The port a form's text stands for: a whole number from 1 to 65535, or the
// service name "pop3" (110), "pop3s" (995), "imap" (143) or "imaps" (993);
// nothing for any other text.
[[nodiscard]] std::optional<std::int32_t> ParsePortText(std::string_view text);

// The message for a filled-in port, interval or folder list that cannot be
// stored: a port that ParsePortText refuses, an interval that is not a whole
// number, an IMAP account's folder list that ParseFolderList refuses. An
// interval outside 10..2147483647 is acceptable: ClampIntervalText brings it
// within range, as the interval box does. Nothing when all are acceptable.
[[nodiscard]] std::optional<std::string> InvalidFieldMessage(const AccountForm& form);

// The form as the editor shows a record.
[[nodiscard]] AccountForm RecordToForm(const AccountRecord& record);
// The login of a record into the form: the choice, and its fields from the
// account's OAuth2 settings (a client secret is never shown).
void LoginToForm(const AccountRecord& record, const std::optional<OAuthSettings>& settings,
                 AccountForm& form);
// Copies the form into the record: the flags, the texts (cut to 100
// characters), the port and the interval (a text InvalidFieldMessage refuses
// falls back to 110 or 300, as records from before the check did). Elapsed,
// AuthMethod and UidlFileName are left as they are.
void FormToRecord(const AccountForm& form, AccountRecord& record);

// A new account from the form, as "Add acct." writes it: the form's values,
// a fresh seen-message file name formed from the name and the tick count, no
// login method yet, Elapsed 0.
[[nodiscard]] AccountRecord NewAccountRecord(const AccountForm& form, std::uint32_t tickCount);

// Whether another record of the file carries this name (compared as the user
// reads it); `shown` is the record being updated, which may keep its own name.
[[nodiscard]] bool NameTaken(const AccountFile& file, std::string_view name,
                             std::optional<std::size_t> shown);

// The protocol options the form stands for (the folders of a POP3 account
// are not kept), and the form's fields for them.
[[nodiscard]] ProtocolOptions FormToProtocolOptions(const AccountForm& form);
void ProtocolOptionsToForm(const ProtocolOptions& options, AccountForm& form);

// The user chose another protocol: a port that is the other protocol's
// default (110 and 143, 995 and 993, or none) becomes this one's; an IMAP
// account leaves its mail on the server (its messages are told apart by
// their identifiers) and watches INBOX unless folders are named.
void SwitchProtocol(AccountForm& form, MailProtocol protocol);

// A value typed into the interval box, kept within 10..2147483647 when the box
// loses the focus; an empty text or one that is not a number stays as it is.
[[nodiscard]] std::string ClampIntervalText(std::string_view text);

}  // namespace corvel
