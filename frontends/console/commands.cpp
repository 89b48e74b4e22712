#include "console/commands.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_options.h"
#include "accounts/account_table.h"
#include "accounts/file_io.h"
#include "accounts/oauth_settings.h"
#include "app/auth/account_login.h"
#include "app/auth/account_secrets.h"
#include "app/auth/oauth_flow.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/process/command_line.h"
#include "app/settings/file_settings_store.h"
#include "app/text/error_text.h"
#include "app/text/posix/locale_format.h"
#include "app/tray/recording_tray_shell.h"
#include "app/version.h"
#include "console/console_session.h"
#include "console/json_output.h"
#include "console/status_command.h"
#include "console/terminal_text.h"
#include "net/posix/poll_event_loop.h"
#include "net/tick_count.h"

namespace corvel::console {

namespace {

// The settings the `settings` command knows: the option boxes, the values
// that tune a check, the command run on new mail and the logon entry.
enum class SettingKind { Flag, Seconds, Command, Session };
struct KnownSetting {
  std::string_view name;
  std::string_view defaultText;
  SettingKind kind;
};
constexpr std::string_view kStartWithSession = "StartWithSession";
constexpr KnownSetting kSettings[] = {
    {"ConnErr", "False", SettingKind::Flag},
    {"Balloon", "False", SettingKind::Flag},
    {"AllMail", "False", SettingKind::Flag},
    {"Log", "False", SettingKind::Flag},
    {kFastListingName, "True", SettingKind::Flag},
    {kCheckDeadlineName, "0", SettingKind::Seconds},
    {kOnNewMailValueName, "", SettingKind::Command},
    {kStartWithSession, "False", SettingKind::Session},
    {kMailProgramValueName, "", SettingKind::Command},
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// --help (or -h) where an option may stand.
struct HelpRequested {};

bool IsHelp(std::string_view argument) { return argument == "--help" || argument == "-h"; }

// Takes the value of an option that needs one. A value that looks like an
// option ("--server" after "--name") means the value was left out; only a
// password may look like anything.
std::string TakeValue(const std::vector<std::string>& arguments, std::size_t& i,
                      bool anyText = false) {
  if (i + 1 >= arguments.size() ||
      (!anyText && arguments[i + 1].size() > 2 && arguments[i + 1].starts_with("--"))) {
    throw UsageError("option " + arguments[i] + " needs a value");
  }
  return arguments[++i];
}

bool IsOption(std::string_view argument) { return argument.size() > 1 && argument[0] == '-'; }

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// ---------------------------------------------------------------- accounts

struct AccountOptions {
  std::optional<std::string> name, server, port, user, password, interval;
  std::optional<bool> enabled, leaveMail;
  std::optional<std::uint8_t> security;
  std::optional<MailProtocol> protocol;
  std::optional<std::string> folders;
  std::optional<bool> quiet;
  std::optional<std::string> oauthCommand;
  std::optional<SecretPlace> secretIn;
  bool passwordFromStdin = false;
};

// A keyring step refused (locked, absent): said as the account's failure.
class KeyringError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::uint8_t ParseSecurity(std::string_view text) {
  if (text == "auto") return 0;
  if (text == "starttls") return 1;
  if (text == "tls") return 2;
  throw UsageError("--security takes auto, starttls or tls, not '" + std::string(text) + "'");
}

AccountOptions ParseAccountOptions(const std::vector<std::string>& arguments, std::size_t first) {
  AccountOptions options;
  for (std::size_t i = first; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--name") {
      options.name = TakeValue(arguments, i);
    } else if (a == "--server") {
      options.server = TakeValue(arguments, i);
    } else if (a == "--port") {
      options.port = TakeValue(arguments, i);
    } else if (a == "--user") {
      options.user = TakeValue(arguments, i);
    } else if (a == "--password") {
      options.password = TakeValue(arguments, i, true);
    } else if (a == "--password-stdin") {
      options.passwordFromStdin = true;
    } else if (a == "--interval") {
      options.interval = TakeValue(arguments, i);
    } else if (a == "--leave-mail") {
      options.leaveMail = true;
    } else if (a == "--no-leave-mail") {
      options.leaveMail = false;
    } else if (a == "--disabled") {
      options.enabled = false;
    } else if (a == "--enabled") {
      options.enabled = true;
    } else if (a == "--security") {
      options.security = ParseSecurity(TakeValue(arguments, i));
    } else if (a == "--secret-store") {
      const std::string place = TakeValue(arguments, i);
      if (place != "keyring" && place != "file") {
        throw UsageError("--secret-store takes keyring or file, not '" + place + "'");
      }
      options.secretIn = place == "keyring" ? SecretPlace::secretKeyring : SecretPlace::secretFile;
    } else if (a == "--oauth-command") {
      options.oauthCommand = TakeValue(arguments, i);
    } else if (a == "--protocol") {
      const std::string protocol = TakeValue(arguments, i);
      options.protocol = ParseProtocolName(protocol);
      if (!options.protocol) {
        throw UsageError("--protocol takes pop3 or imap, not '" + protocol + "'");
      }
    } else if (a == "--folders") {
      options.folders = TakeValue(arguments, i);
    } else if (a == "--quiet") {
      const std::string quiet = TakeValue(arguments, i);
      if (quiet != "on" && quiet != "off") {
        throw UsageError("--quiet takes on or off, not '" + quiet + "'");
      }
      options.quiet = quiet == "on";
    } else if (IsHelp(a)) {
      throw HelpRequested{};
    } else {
      throw UsageError("unknown option '" + a + "'");
    }
  }
  if (options.passwordFromStdin && options.password) {
    throw UsageError("give either --password or --password-stdin, not both");
  }
  if (options.oauthCommand && options.secretIn == SecretPlace::secretKeyring) {
    throw UsageError("an account with --oauth-command keeps no password for the keyring");
  }
  if (options.oauthCommand && (options.password || options.passwordFromStdin)) {
    throw UsageError("an account logs in either with a password or with --oauth-command");
  }
  if (options.oauthCommand && options.oauthCommand->find_first_of("\r\n") != std::string::npos) {
    throw UsageError("--oauth-command takes one line");
  }
  if (std::string why; options.oauthCommand && !SplitCommandLine(*options.oauthCommand, &why)) {
    throw UsageError("--oauth-command cannot be '" + *options.oauthCommand + "': " + why);
  }
  return options;
}

// One line of standard input, without its line end.
std::string ReadPasswordLine(std::istream* in) {
  std::string line;
  if (in == nullptr || !std::getline(*in, line)) return line;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A password given on standard input is read before the accounts file is
// locked: the user may take their time typing it.
void ReadTypedPassword(AccountOptions& options, const Environment& environment) {
  if (options.passwordFromStdin) options.password = ReadPasswordLine(environment.in);
}

void ApplyOptions(const AccountOptions& options, AccountForm& form) {
  // The protocol first: its default port gives way to a port typed too.
  if (options.protocol) SwitchProtocol(form, *options.protocol);
  if (options.folders) {
    if (form.protocol != MailProtocol::imap) {
      throw UsageError("--folders is for IMAP accounts (--protocol imap)");
    }
    form.folders = *options.folders;
  }
  if (options.name) form.name = *options.name;
  if (options.server) form.server = *options.server;
  if (options.port) form.port = *options.port;
  if (options.user) form.user = *options.user;
  if (options.password) form.password = *options.password;
  if (options.interval) form.interval = *options.interval;
  if (options.enabled) form.enabled = *options.enabled;
  if (options.leaveMail) form.leaveMail = *options.leaveMail;
  if (options.security) form.securityMode = *options.security;
  // An OAuth2 account has no password; its field holds a marker so that the
  // rules that read the field (the table ends at an empty one) still hold.
  if (options.oauthCommand) form.password = kOAuthMarker;
}

std::string_view LoginName(LoginKind kind) {
  switch (kind) {
    case LoginKind::loginOAuthCommand:
      return "oauth-command";
    case LoginKind::loginOAuthBuiltIn:
      return "oauth-builtin";
    case LoginKind::loginPassword:
      break;
  }
  return "password";
}

// Puts the password where the record's options want it (the shared rule,
// PlacePassword of app/auth/account_login.h): into the keyring or into the
// field; a keyring password follows a change of server, port or user name.
// Nothing is ever written to the file when the keyring refuses.
void PlacePassword(const AccountOptions& options, const AccountForm& form,
                   const AccountRecord& before, AccountRecord& record) {
  const bool wasInKeyring = before.SecretIn() == SecretPlace::secretKeyring;
  bool toKeyring =
      options.secretIn ? *options.secretIn == SecretPlace::secretKeyring : wasInKeyring;
  if (record.UsesOAuth() && options.secretIn == SecretPlace::secretKeyring) {
    throw UsageError("an OAuth2 account keeps no password for the keyring");
  }
  const bool typed = options.password || options.passwordFromStdin;
  try {
    PlacePassword(*SystemSecretStore(), before, record,
                  typed ? std::optional<std::string>(form.password) : std::nullopt, toKeyring);
  } catch (const KeyringRefusal& e) {
    throw KeyringError(e.what());
  }
}

// After the record is written: what the account no longer uses leaves the
// keyring, and its authorization follows it.
void TidyKeyring(const AccountRecord& before, const AccountRecord& record, std::ostream& err) {
  const std::unique_ptr<SecretStore> keyring = SystemSecretStore();
  for (const std::string& left : {ForgetOldKeyringEntry(*keyring, before, record),
                                  FollowAuthorization(*keyring, before, record)}) {
    if (!left.empty()) err << TerminalText(left) << '\n';
  }
}

// The login kind the options choose for `record`. A change of kind forgets
// the login method found for the old one.
void ApplyLoginOptions(const AccountOptions& options, AccountRecord& record) {
  LoginKind kind = record.Login();
  if (options.oauthCommand) {
    kind = LoginKind::loginOAuthCommand;
  } else if (options.password || options.passwordFromStdin) {
    kind = LoginKind::loginPassword;
  }
  if (kind != record.Login()) {
    record.SetLogin(kind);
    record.AuthMethod.Clear();
  }
}

// The token command goes to the OAuth2 settings file before the record is
// written: should that fail, the record stays as it was.
void StoreTokenCommand(const AccountOptions& options, const AccountRecord& record) {
  if (!options.oauthCommand) return;
  OAuthSettingsFile settings(OAuthSettingsFileFor(kAccountsFileName));
  settings.Load();
  OAuthSettings entry = settings.Find(record.PlainUidlFileName()).value_or(OAuthSettings{});
  entry.command = *options.oauthCommand;
  settings.Set(record.PlainUidlFileName(), entry);
  settings.Save();
}

// Input refused once the accounts file is read (a name already taken, a full
// file): said as it is, exit status 2, nothing written.
class Refusal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The account's protocol options, as the side file holds them now.
ProtocolOptions StoredProtocolOptions(const AccountRecord& record) {
  const AccountOptionsFile file = LoadAccountOptions(AccountOptionsFileFor(kAccountsFileName));
  return ProtocolOptionsOf(file.Find(record.PlainUidlFileName()));
}

// Writes the form's protocol options into the side file, before the record:
// should that fail, the record stays as it was. A change of protocol forgets
// the login method found for the old one.
// Writes an account's "quiet" (no balloons) into the options side file.
void StoreQuiet(bool quiet, const AccountRecord& record) {
  EditAccountOptions(AccountOptionsFileFor(kAccountsFileName), record.PlainUidlFileName(),
                     [quiet](OptionSection& section) {
                       if (quiet) {
                         section.Set(kQuietKey, "on");
                       } else {
                         section.Erase(kQuietKey);
                       }
                     });
}

void StoreFormProtocol(const AccountForm& form, AccountRecord& record) {
  const ProtocolOptions options = FormToProtocolOptions(form);
  if (options.protocol != StoredProtocolOptions(record).protocol) record.AuthMethod.Clear();
  EditAccountOptions(
      AccountOptionsFileFor(kAccountsFileName), record.PlainUidlFileName(),
      [&options](OptionSection& section) { StoreProtocolOptions(options, section); });
}

// The editor's checks of a filled-in form; the message when it is refused.
// An interval typed outside 10..2147483647 is brought within range, as the
// interval box does, and the user is told; one already stored stays as it is.
std::optional<std::string> RefusedForm(AccountForm& form, bool intervalTyped, std::ostream& err) {
  if (auto message = MissingFieldMessage(form)) return std::string(*message);
  if (auto message = InvalidFieldMessage(form)) return message;
  const std::string interval = ClampIntervalText(form.interval);
  if (intervalTyped && interval != form.interval) {
    err << "corvel: the interval " << form.interval << " is "
        << (interval == std::to_string(kMinInterval) ? "raised" : "lowered") << " to " << interval
        << " seconds, as the editor does\n";
    form.interval = interval;
  }
  return std::nullopt;
}

// The record an account selector names: "#INDEX" (from 0) or the name.
std::size_t FindAccount(const AccountFile& file, std::string_view selector) {
  const std::size_t count = file.RecordCount();
  if (!selector.empty() && selector[0] == '#') {
    const auto index = ParseWholeNumber(selector.substr(1));
    if (!index || *index < 0 || static_cast<std::size_t>(*index) >= count) {
      throw UsageError("no account " + std::string(selector) + " (the file holds " +
                       std::to_string(count) + ")");
    }
    return static_cast<std::size_t>(*index);
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (file.ReadRecord(i).PlainAccountName() == selector) return i;
  }
  throw UsageError("no account named '" + std::string(selector) + "'");
}

void PrintAccount(std::ostream& out, std::size_t index, const AccountRecord& record,
                  const ProtocolOptions& protocol, bool quiet) {
  out << '#' << index << '\t' << TerminalText(record.PlainAccountName()) << '\t'
      << TerminalText(record.PlainServer()) << ':' << record.Port << '\t' << "user "
      << TerminalText(record.PlainUserName()) << '\t' << "every " << record.Interval << " s\t"
      << (record.IsEnabled() ? "enabled" : "disabled") << '\t'
      << (record.LeavesMailOnServer() ? "leave-mail" : "whole-mailbox") << '\t' << "auth "
      << (record.AuthMethod.Empty() ? std::string("(not found yet)")
                                    : TerminalText(record.PlainAuthMethod()))
      << '\t' << "security " << SecurityName(record.SecurityMode()) << '\t' << "login "
      << LoginName(record.Login()) << '\t' << "secret "
      << (record.SecretIn() == SecretPlace::secretKeyring ? "keyring" : "file") << '\t' << "seen "
      << TerminalText(record.PlainUidlFileName()) << '\t' << "protocol "
      << ProtocolName(protocol.protocol);
  if (protocol.protocol == MailProtocol::imap)
    out << "\tfolders " << TerminalText(FolderListText(protocol.folders));
  if (quiet) out << "\tquiet";
  out << '\n';
}

int AccountsList(const std::vector<std::string>& arguments, std::ostream& out) {
  bool json = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--json") {
      json = true;
    } else if (IsHelp(arguments[i])) {
      throw HelpRequested{};
    } else {
      throw UsageError("unknown option '" + arguments[i] + "' for accounts list");
    }
  }
  AccountFile file;
  if (!std::filesystem::exists(file.FileName())) {
    if (!json) out << "No accounts (no " << kAccountsFileName << " here).\n";
    return kExitOk;
  }
  file.Load();
  const std::size_t count = file.RecordCount();
  const AccountOptionsFile options = LoadAccountOptions(AccountOptionsFileFor(kAccountsFileName));
  auto protocolOf = [&options](const AccountRecord& record) {
    return ProtocolOptionsOf(options.Find(record.PlainUidlFileName()));
  };
  auto quietOf = [&options](const AccountRecord& record) {
    const OptionSection* section = options.Find(record.PlainUidlFileName());
    return section != nullptr && section->Get(kQuietKey) == "on";
  };
  if (json) {
    for (std::size_t i = 0; i < count; ++i) {
      const AccountRecord record = file.ReadRecord(i);
      out << AccountJson(i, record, protocolOf(record), quietOf(record)) << '\n';
    }
    return kExitOk;
  }
  if (count == 0) out << "No accounts.\n";
  for (std::size_t i = 0; i < count; ++i) {
    const AccountRecord record = file.ReadRecord(i);
    PrintAccount(out, i, record, protocolOf(record), quietOf(record));
  }
  if (count > kMaxAccounts) {
    out << "Only the first " << kMaxAccounts << " accounts are checked.\n";
  }
  return kExitOk;
}

int AccountsAdd(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  AccountOptions options = ParseAccountOptions(arguments, 1);
  ReadTypedPassword(options, environment);
  AccountForm form;
  form.enabled = true;
  ApplyOptions(options, form);
  if (auto message = RefusedForm(form, options.interval.has_value(), err)) {
    err << *message << '\n';
    return kExitUsage;
  }
  // Everything that depends on the other accounts is decided on the file as
  // it is under its lock; nothing is written unless all of it passes.
  std::size_t added = 0;
  try {
    AccountFile file;
    file.Edit([&](AccountFile& records) {
      const std::size_t count = records.RecordCount();
      if (count >= kMaxAccounts) throw Refusal(std::string(kTooManyAccountsMessage));
      if (NameTaken(records, form.name, std::nullopt)) {
        throw Refusal(std::string(kDuplicateNameMessage));
      }
      AccountRecord record = NewAccountRecord(form, TickCount());
      ApplyLoginOptions(options, record);
      PlacePassword(options, form, AccountRecord{}, record);
      StoreTokenCommand(options, record);
      StoreFormProtocol(form, record);
      if (options.quiet) StoreQuiet(*options.quiet, record);
      records.WriteRecord(count, record);
      added = count;
    });
  } catch (const Refusal& e) {
    err << e.what() << '\n';
    return kExitUsage;
  } catch (const KeyringError& e) {
    err << "corvel: " << TerminalText(form.name) << ": " << TerminalText(e.what()) << '\n';
    return kExitUsage;
  }
  out << "Account " << TerminalText(form.name) << " added (#" << added << ").\n";
  return kExitOk;
}

int AccountsSet(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  if (arguments.size() < 2 || IsOption(arguments[1])) {
    throw UsageError("accounts set needs an account: a name or #INDEX");
  }
  AccountOptions options = ParseAccountOptions(arguments, 2);
  ReadTypedPassword(options, environment);
  AccountRecord before;
  AccountRecord record;
  AccountForm form;
  try {
    AccountFile file;
    file.Edit([&](AccountFile& records) {
      const std::size_t index = FindAccount(records, arguments[1]);
      before = records.ReadRecord(index);
      record = before;
      form = RecordToForm(record);
      ProtocolOptionsToForm(StoredProtocolOptions(record), form);
      ApplyOptions(options, form);
      if (auto message = RefusedForm(form, options.interval.has_value(), err)) {
        throw Refusal(*message);
      }
      if (NameTaken(records, form.name, index)) throw Refusal(std::string(kDuplicateNameMessage));
      FormToRecord(form, record);
      if (record.UidlFileName.Empty()) {
        record.SetPlainUidlFileName(MakeUidlFileName(form.name, TickCount()));
      }
      ApplyLoginOptions(options, record);
      PlacePassword(options, form, before, record);
      StoreTokenCommand(options, record);
      if (options.protocol || options.folders) StoreFormProtocol(form, record);
      if (options.quiet) StoreQuiet(*options.quiet, record);
      records.WriteRecord(index, record);
    });
  } catch (const Refusal& e) {
    err << e.what() << '\n';
    return kExitUsage;
  } catch (const KeyringError& e) {
    err << "corvel: " << TerminalText(form.name) << ": " << TerminalText(e.what()) << '\n';
    return kExitUsage;
  }
  TidyKeyring(before, record, err);
  out << "Account " << TerminalText(form.name) << " updated.\n";
  return kExitOk;
}

int AccountsDelete(const std::vector<std::string>& arguments, std::ostream& out) {
  if (arguments.size() != 2)
    throw UsageError("accounts delete needs one account: a name or #INDEX");
  AccountRecord record;
  AccountFile file;
  file.Edit([&](AccountFile& records) {
    const std::size_t index = FindAccount(records, arguments[1]);
    record = records.ReadRecord(index);
    records.DeleteRecord(index);
  });
  const std::string name = record.PlainAccountName();
  AccountRecord gone = record;
  gone.SetSecretIn(SecretPlace::secretFile);
  gone.SetLogin(LoginKind::loginPassword);
  TidyKeyring(record, gone, out);
  out << "Account " << TerminalText(name) << " deleted; its seen-message file stays on disk.\n";
  return kExitOk;
}

int AccountsClearAuth(const std::vector<std::string>& arguments, std::ostream& out) {
  if (arguments.size() != 2) {
    throw UsageError("accounts clear-auth needs one account: a name or #INDEX");
  }
  AccountRecord record;
  AccountFile file;
  file.Edit([&](AccountFile& records) {
    const std::size_t index = FindAccount(records, arguments[1]);
    record = records.ReadRecord(index);
    record.AuthMethod.Clear();
    records.WriteRecord(index, record);
  });
  out << "Account " << TerminalText(record.PlainAccountName())
      << ": the login method will be found again at the next check.\n";
  return kExitOk;
}

// Whether the selector names an IMAP account; false when it names none (which
// the command refuses later, creating nothing before).
bool NamesImapAccount(std::string_view selector) {
  if (!std::filesystem::exists(kAccountsFileName)) return false;
  try {
    AccountFile file;
    file.Open();
    return StoredProtocolOptions(file.ReadRecord(FindAccount(file, selector))).protocol ==
           MailProtocol::imap;
  } catch (const UsageError&) {
    return false;
  }
}

// Runs the authorization in the browser and keeps what it gives: the refresh
// token (and a client secret) in the keyring, the provider in the OAuth2
// settings file, the login kind in the record. Nothing is changed when the
// authorization fails or the keyring refuses.
int AccountsAuthorize(const std::vector<std::string>& arguments, const Environment& environment,
                      std::ostream& out, std::ostream& err) {
  if (arguments.size() < 2 || IsOption(arguments[1])) {
    throw UsageError("accounts authorize needs an account: a name or #INDEX");
  }
  OAuthSettings wanted;
  std::optional<std::string> clientSecretTyped;
  bool clientSecretFromStdin = false;
  bool browser = true;
  for (std::size_t i = 2; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--provider") {
      wanted.provider = TakeValue(arguments, i);
    } else if (a == "--client-id") {
      wanted.clientId = TakeValue(arguments, i);
    } else if (a == "--client-secret") {
      clientSecretTyped = TakeValue(arguments, i, true);
    } else if (a == "--client-secret-stdin") {
      // An argument is visible to every local user (/proc); standard input is not.
      clientSecretFromStdin = true;
    } else if (a == "--auth-url") {
      wanted.authorizeUrl = TakeValue(arguments, i);
    } else if (a == "--token-url") {
      wanted.tokenUrl = TakeValue(arguments, i);
    } else if (a == "--scope") {
      wanted.scope = TakeValue(arguments, i);
    } else if (a == "--no-browser") {
      browser = false;
    } else if (IsHelp(a)) {
      throw HelpRequested{};
    } else {
      throw UsageError("unknown option '" + a + "' for accounts authorize");
    }
  }
  if (wanted.provider.empty()) throw UsageError("--provider microsoft|google|custom is needed");
  const bool imap = NamesImapAccount(arguments[1]);
  // Microsoft grants IMAP and POP3 logins under scopes of their own.
  if (imap && wanted.provider == "microsoft" && wanted.scope.empty()) {
    wanted.scope = kMicrosoftImapScope;
  }
  if (auto refused = CompleteProviderSettings(wanted)) throw UsageError(*refused);
  if (clientSecretTyped && clientSecretFromStdin) {
    throw UsageError("give either --client-secret or --client-secret-stdin, not both");
  }
  const std::string clientSecret =
      clientSecretFromStdin ? ReadPasswordLine(environment.in) : clientSecretTyped.value_or("");

  // The browser may take minutes: the file is read now, and the change is
  // made at the end to the account as the file holds it then.
  AccountFile file;
  file.Load();
  const AccountRecord before = file.ReadRecord(FindAccount(file, arguments[1]));
  AccountRecord record = before;
  const std::string name = record.PlainAccountName();
  OAuthSettingsFile settingsFile(OAuthSettingsFileFor(kAccountsFileName));
  settingsFile.Load();
  OAuthSettings settings = settingsFile.Find(record.PlainUidlFileName()).value_or(OAuthSettings{});
  settings.provider = wanted.provider;
  settings.clientId = wanted.clientId;
  settings.authorizeUrl = wanted.authorizeUrl;
  settings.tokenUrl = wanted.tokenUrl;
  settings.scope = wanted.scope;
  settings.clientSecret = clientSecret.empty() ? "" : std::string(kKeyringMarker);
  // A line break would be refused only after the browser's round.
  settingsFile.Set(record.PlainUidlFileName(), settings);

  AuthorizeOptions options;
  options.timeoutMs = environment.authorizationTimeoutMs;
  if (!browser) {
    options.openBrowser = nullptr;
  } else if (environment.openBrowser) {
    options.openBrowser = environment.openBrowser;
  }
  options.tellUser = [&out, &options](const std::string& url, const std::string& whyNotOpened) {
    out << (whyNotOpened.empty() ? "The browser shows the provider's sign-in; if it does not, open"
                                 : "Open")
        << " this address in a browser:\n  " << TerminalText(url) << '\n'
        << "Waiting up to " << options.timeoutMs / 1000 << " s for the browser to come back...\n"
        << std::flush;
  };
  const TokenGrant grant = Authorize(settings, clientSecret, options);
  if (!grant.ok) {
    err << "corvel: " << TerminalText(name) << ": " << TerminalText(grant.reason) << '\n';
    return kExitCheckFailed;
  }

  record.SetLogin(LoginKind::loginOAuthBuiltIn);
  if (before.Login() != LoginKind::loginOAuthBuiltIn) record.AuthMethod.Clear();
  record.SetPlainPassword(kOAuthMarker);
  record.SetSecretIn(SecretPlace::secretFile);
  const std::unique_ptr<SecretStore> keyring = SystemSecretStore();
  SecretResult kept =
      keyring->Write(KeyringKeyOf(record, kSecretKindRefreshToken),
                     KeyringLabelOf(record, "OAuth2 refresh token"), grant.refreshToken);
  if (kept.ok && !clientSecret.empty()) {
    kept = keyring->Write(KeyringKeyOf(record, kSecretKindClientSecret),
                          KeyringLabelOf(record, "OAuth2 client secret"), clientSecret);
  }
  if (!kept.ok) {
    err << "corvel: " << TerminalText(name)
        << ": the authorization cannot be kept: " << TerminalText(kept.reason) << '\n';
    return kExitCheckFailed;
  }
  settingsFile.Save();
  file.Edit([&](AccountFile& records) {
    const std::optional<std::size_t> index = records.Find(before);
    if (!index) {
      throw std::runtime_error("the account " + name +
                               " was deleted meanwhile; its authorization is not kept");
    }
    records.WriteRecord(*index, ApplyRecordChange(records.ReadRecord(*index), before, record));
  });
  if (const std::string left = ForgetOldKeyringEntry(*SystemSecretStore(), before, record);
      !left.empty()) {
    err << TerminalText(left) << '\n';
  }
  out << "Account " << TerminalText(name) << " authorized with " << settings.provider
      << "; the refresh token is in the keyring.\n";
  if (record.SecurityMode() == kSecurityAuto && record.Port != (imap ? kImapsPort : kPop3sPort)) {
    out << "Its token is sent only over TLS: set --security tls or starttls.\n";
  }
  return kExitOk;
}

// ---------------------------------------------------------------- settings

// A setting by the name typed, matched without regard to letter case as the
// store matches names.
const KnownSetting& FindSetting(std::string_view typed) {
  const std::string upper = Upper(typed);
  for (const KnownSetting& known : kSettings) {
    if (Upper(known.name) == upper) return known;
  }
  throw UsageError("unknown setting '" + std::string(typed) +
                   "' (settings: ConnErr, Balloon, AllMail, Log, FastListing, CheckDeadline, "
                   "OnNewMail, MailProgram, StartWithSession)");
}

std::optional<bool> ParseBool(std::string_view text) {
  const std::string upper = Upper(text);
  if (upper == "TRUE" || upper == "ON" || upper == "YES" || upper == "1") return true;
  if (upper == "FALSE" || upper == "OFF" || upper == "NO" || upper == "0") return false;
  return std::nullopt;
}

}  // namespace

std::string_view SecurityName(std::uint8_t mode) {
  switch (mode) {
    case 1:
      return "starttls";
    case 2:
      return "tls";
    default:
      return "auto";
  }
}

std::string UsageText() {
  return "Usage: corvel [-C DIR] [--log | --quiet] [--console] [--MINIMIZE]\n"
         "       corvel [-C DIR] check [--all-mail] [--quiet] [--json]\n"
         "       corvel [-C DIR] status [--format text|json|waybar|i3blocks]\n"
         "       corvel [-C DIR] accounts list [--json]\n"
         "       corvel [-C DIR] accounts add --name N --server S [--port P] --user U\n"
         "                       (--password P | --password-stdin) [--interval SECONDS]\n"
         "                       [--leave-mail] [--disabled] [--security auto|starttls|tls]\n"
         "                       [--oauth-command 'CMD ARGS' instead of a password]\n"
         "                       [--secret-store keyring|file] [--protocol pop3|imap]\n"
         "                       [--folders 'INBOX,Lists/dev' for imap] [--quiet on|off]\n"
         "       corvel [-C DIR] accounts set NAME|#INDEX [the options of add]\n"
         "                       [--no-leave-mail] [--enabled]\n"
         "       corvel [-C DIR] accounts authorize NAME|#INDEX --provider "
         "microsoft|google|custom\n"
         "                       --client-id ID [--client-secret S | --client-secret-stdin]\n"
         "                       [--no-browser]\n"
         "                       [--auth-url URL --token-url URL --scope S for custom]\n"
         "       corvel [-C DIR] accounts delete NAME|#INDEX\n"
         "       corvel [-C DIR] accounts clear-auth NAME|#INDEX\n"
         "       corvel settings list | get NAME | set NAME VALUE   (NAME: ConnErr, Balloon, "
         "AllMail, Log,\n"
         "                       FastListing, StartWithSession: True or False; CheckDeadline in "
         "seconds,\n"
         "                       0: automatic; OnNewMail, MailProgram: a command line,\n"
         "                       empty: none)\n"
         "       corvel demo [--console]\n"
         "       corvel --help | -h | --version\n"
         "\n"
         "Corvel checks POP3 and IMAP mailboxes for new mail without downloading or deleting\n"
         "anything.\n"
         "\n"
         "corvel (no command) starts the desktop program when a display is there. On the\n"
         "  terminal (no display, or --console) it keeps running and checks each enabled\n"
         "  account whenever its interval has passed; it says on standard error what it\n"
         "  checks, prints the activity log (with --log, or when the Log setting is True)\n"
         "  and each new message on standard output, and the reason of a failing account\n"
         "  once on standard error. Ctrl-C or SIGTERM stops it; the accounts are saved as\n"
         "  they are at exit.\n"
         "check checks every enabled account once. Standard output: one line per new\n"
         "  message with the six columns of the \"New mail\" list (account, from, subject,\n"
         "  date, bytes, UIDL) separated by tabs with --all-mail or when the AllMail setting\n"
         "  is True, otherwise one overview line per account with new mail; with --json one\n"
         "  JSON object per line instead, and one per failed account. Standard error: the\n"
         "  activity log (not with --quiet) and one line per failed account:\n"
         "  corvel: ACCOUNT: REASON.\n"
         "status tells what the accounts have: the running program of the folder is asked\n"
         "  (over the session bus), or else every enabled account is checked once, quietly.\n"
         "  --format waybar prints one JSON object (text, tooltip, class: new, none or\n"
         "  error, alt); i3blocks prints full text, short text and colour, and exits with\n"
         "  33 when there is new mail.\n"
         "accounts edits the accounts as the account editor does: a port from 1 to 65535\n"
         "  (or pop3, pop3s), an interval in whole seconds (below 10 raised to 10).\n"
         "  --security auto speaks TLS from the first byte on port 995 and plain text\n"
         "  elsewhere; starttls requires STARTTLS; tls speaks TLS on any port.\n"
         "accounts authorize signs in at the provider in the browser (xdg-open, or the\n"
         "  address printed) with your client ID, and keeps the refresh token in the\n"
         "  keyring; each check then logs in with a fresh access token.\n"
         "settings: ConnErr, Balloon, AllMail, Log, StartWithSession (True or False);\n"
         "  OnNewMail, a command run after each report of new mail, split into words as a\n"
         "  shell would and run without a shell (sh -c '...' for one), with CORVEL_ACCOUNT,\n"
         "  CORVEL_COUNT and CORVEL_BYTES in its environment; MailProgram, the command that\n"
         "  opens your mail program or webmail from a notification, the tray menu or a\n"
         "  double click on a \"New mail\" row, split and run the same way.\n"
         "\n"
         "Files: the accounts in mail.accounts.qor in the working directory (-C DIR or\n"
         "--dir DIR changes into DIR first), the seen-message files (*.uidl) beside it; the\n"
         "settings in $XDG_CONFIG_HOME/qor/Corvel.conf (~/.config when unset), the\n"
         "start-with-session entry in $XDG_CONFIG_HOME/autostart/qor-corvel.desktop.\n"
         "\n"
         "Exit status: 0 success; 1 an account could not be reached, protected or logged\n"
         "in to; 2 a usage error (refused input, no accounts), a start-up error or a file\n"
         "error; 33 new mail (status --format i3blocks).\n";
}

int Main(const std::vector<std::string>& arguments, const Environment& environment,
         std::ostream& out, std::ostream& err) {
  try {
    // Options before the command are the program's; after it, the command's.
    std::vector<std::string> programOptions;
    std::size_t i = 0;
    for (; i < arguments.size(); ++i) {
      const std::string& a = arguments[i];
      if (IsHelp(a)) throw HelpRequested{};
      if (a == "--version") {
        out << "corvel " << VersionText() << '\n';
        return kExitOk;
      }
      if (a == "-C" || a == "--dir") {
        const std::string dir = TakeValue(arguments, i);
        std::error_code ec;
        std::filesystem::current_path(dir, ec);
        if (ec) {
          err << "corvel: cannot change into '" << dir << "': " << ec.message() << '\n';
          return kExitUsage;
        }
        continue;
      }
      if (!IsOption(a)) break;
      programOptions.push_back(a);
    }
    if (i == arguments.size()) return RunProgram(programOptions, environment, out, err);
    const std::string& command = arguments[i];
    if (!programOptions.empty()) {
      throw UsageError("option '" + programOptions[0] + "' before the command " + command);
    }
    const std::vector<std::string> commandArguments(arguments.begin() + i + 1, arguments.end());
    if (command == "check") return RunCheck(commandArguments, environment, out, err);
    if (command == "accounts") return RunAccounts(commandArguments, environment, out, err);
    if (command == "settings") return RunSettings(commandArguments, environment, out, err);
    if (command == "demo") return RunDemo(commandArguments, environment, out, err);
    if (command == "status") return RunStatusCommand(commandArguments, environment, out, err);
    throw UsageError("unknown command '" + command + "'");
  } catch (const HelpRequested&) {
    out << UsageText();
    return kExitOk;
  } catch (const UsageError& e) {
    err << "corvel: " << TerminalText(e.what()) << " (corvel --help shows the usage)\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "corvel: " << TerminalText(DescribeError(e)) << '\n';
    return kExitUsage;
  }
}

int RunProgram(const std::vector<std::string>& arguments, const Environment& environment,
               std::ostream& out, std::ostream& err) {
  SessionOptions options;
  options.mode = SessionOptions::Mode::Program;
  options.arguments = arguments;
  bool console = false;
  for (const std::string& a : arguments) {
    if (a == "--log") {
      options.forceLog = true;
    } else if (a == "--quiet") {
      options.quiet = true;
    } else if (a == "--console") {
      console = true;
    } else if (Upper(a) != "--MINIMIZE") {
      throw UsageError("unknown option '" + a + "'");
    }
  }
  if (options.forceLog && options.quiet) throw UsageError("give either --log or --quiet");
  if (!console && !environment.desktopProgram.empty()) {
    // The window and the tray icon: the desktop program takes over this
    // process (in the folder -C chose).
    std::vector<char*> argv{const_cast<char*>(environment.desktopProgram.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    err << "corvel: cannot start " << environment.desktopProgram << ": " << std::strerror(errno)
        << "; running on the terminal\n";
  }
  ConsoleSession session(environment, out, err, std::move(options));
  return session.RunProgram();
}

int RunCheck(const std::vector<std::string>& arguments, const Environment& environment,
             std::ostream& out, std::ostream& err) {
  SessionOptions options;
  options.mode = SessionOptions::Mode::Check;
  options.forceLog = true;
  bool allMail = false;
  for (const std::string& a : arguments) {
    if (a == "--all-mail") {
      allMail = true;
    } else if (a == "--quiet") {
      options.quiet = true;
    } else if (a == "--json") {
      options.json = true;
    } else if (IsHelp(a)) {
      throw HelpRequested{};
    } else {
      throw UsageError("unknown option '" + a + "' for check");
    }
  }
  ConsoleSession session(environment, out, err, std::move(options));
  return session.CheckOnce(allMail);
}

int RunAccounts(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  if (arguments.empty()) {
    throw UsageError("accounts needs list, add, set, authorize, delete or clear-auth");
  }
  const std::string& what = arguments[0];
  if (IsHelp(what) || (arguments.size() > 1 && IsHelp(arguments[1]))) throw HelpRequested{};
  if (what == "list") return AccountsList(arguments, out);
  if (what == "add") return AccountsAdd(arguments, environment, out, err);
  if (what == "set") return AccountsSet(arguments, environment, out, err);
  if (what == "authorize") return AccountsAuthorize(arguments, environment, out, err);
  if (what == "delete") return AccountsDelete(arguments, out);
  if (what == "clear-auth") return AccountsClearAuth(arguments, out);
  throw UsageError("unknown accounts command '" + what + "'");
}

int RunStatusCommand(const std::vector<std::string>& arguments, const Environment& environment,
                     std::ostream& out, std::ostream& err) {
  StatusFormat format = StatusFormat::text;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (IsHelp(arguments[i])) throw HelpRequested{};
    if (arguments[i] != "--format") {
      throw UsageError("unknown option '" + arguments[i] + "' for status");
    }
    const std::string name = TakeValue(arguments, i);
    if (name == "text") {
      format = StatusFormat::text;
    } else if (name == "json") {
      format = StatusFormat::json;
    } else if (name == "waybar") {
      format = StatusFormat::waybar;
    } else if (name == "i3blocks") {
      format = StatusFormat::i3blocks;
    } else {
      throw UsageError("--format takes text, json, waybar or i3blocks, not '" + name + "'");
    }
  }
  return RunStatus(format, environment, out, err);
}

int RunSettings(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& /*err*/) {
  if (!arguments.empty() && IsHelp(arguments[0])) throw HelpRequested{};
  const std::string what = arguments.empty() ? std::string() : arguments[0];
  const bool list = what == "list" && arguments.size() == 1;
  const bool get = what == "get" && arguments.size() == 2;
  const bool set = what == "set" && arguments.size() == 3;
  if (!list && !get && !set) throw UsageError("settings needs list, get NAME or set NAME VALUE");
  // The name and the value are checked before the store is touched.
  const KnownSetting* setting = list ? nullptr : &FindSetting(arguments[1]);
  std::string value;
  if (set) {
    const std::string& typed = arguments[2];
    const std::string name(setting->name);
    switch (setting->kind) {
      case SettingKind::Command: {
        std::string why;
        if (!SplitCommandLine(typed, &why)) {
          throw UsageError(name + " cannot be '" + typed + "': " + why);
        }
        value = typed;
        break;
      }
      case SettingKind::Seconds: {
        const auto seconds = ParseWholeNumber(typed);
        if (!seconds || *seconds < 0) {
          throw UsageError(name + " is a number of seconds (0: automatic), not '" + typed + "'");
        }
        value = std::to_string(*seconds);
        break;
      }
      case SettingKind::Flag:
      case SettingKind::Session: {
        const auto flag = ParseBool(typed);
        if (!flag) throw UsageError(name + " is True or False, not '" + typed + "'");
        value = *flag ? "True" : "False";
        break;
      }
    }
  }

  FileSettingsStore store(environment.configFolder);
  store.Open();
  auto read = [&store](const KnownSetting& known) {
    if (known.kind == SettingKind::Session) {
      return std::string(store.ReadString(kRunKey, kRunValueName, "").empty() ? "False" : "True");
    }
    return store.ReadString(kProgramKey, known.name, known.defaultText);
  };
  if (list) {
    for (const KnownSetting& known : kSettings) {
      out << known.name << '=' << TerminalText(read(known)) << '\n';
    }
    return kExitOk;
  }
  if (get) {
    out << TerminalText(read(*setting)) << '\n';
    return kExitOk;
  }
  if (setting->kind == SettingKind::Session) {
    if (value == "True") {
      store.WriteString(kRunKey, kRunValueName, environment.programPath + " --MINIMIZE");
    } else {
      store.DeleteValue(kRunKey, kRunValueName);
    }
  } else if (setting->kind == SettingKind::Command && value.empty()) {
    store.DeleteValue(kProgramKey, setting->name);
  } else {
    store.WriteString(kProgramKey, setting->name, value);
  }
  store.Close();
  return kExitOk;
}

}  // namespace corvel::console
