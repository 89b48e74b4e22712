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
#include "accounts/account_table.h"
#include "accounts/file_io.h"
#include "accounts/oauth_settings.h"
#include "app/account_secrets.h"
#include "app/file_settings_store.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/posix/locale_format.h"
#include "app/tray/recording_tray_shell.h"
#include "console/console_session.h"
#include "net/posix/poll_event_loop.h"
#include "net/tick_count.h"

namespace corvel::console {

namespace {

constexpr std::string_view kVersion = "0.6";

// The settings the `settings` command knows: the option boxes, then the
// values that tune a check.
struct KnownSetting {
  std::string_view name;
  std::string_view defaultText;
  bool seconds;  // a whole number of seconds, not True or False
};
constexpr KnownSetting kSettings[] = {
    {"ConnErr", "False", false}, {"Balloon", "False", false},       {"AllMail", "False", false},
    {"Log", "False", false},     {kFastListingName, "True", false}, {kCheckDeadlineName, "0", true},
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Takes the value of an option that needs one.
std::string TakeValue(const std::vector<std::string>& arguments, std::size_t& i) {
  if (i + 1 >= arguments.size()) throw UsageError("option " + arguments[i] + " needs a value");
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
      options.password = TakeValue(arguments, i);
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
  return options;
}

// One line of standard input, without its line end.
std::string ReadPasswordLine(std::istream* in) {
  std::string line;
  if (in == nullptr || !std::getline(*in, line)) return line;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void ApplyOptions(const AccountOptions& options, const Environment& environment,
                  AccountForm& form) {
  if (options.name) form.name = *options.name;
  if (options.server) form.server = *options.server;
  if (options.port) form.port = *options.port;
  if (options.user) form.user = *options.user;
  if (options.password) form.password = *options.password;
  if (options.passwordFromStdin) form.password = ReadPasswordLine(environment.in);
  if (options.interval) form.interval = ClampIntervalText(*options.interval);
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

// Puts the password where the record's options want it: into the keyring
// (the field then holds kKeyringMarker) or into the field. `before` is the
// record as the file held it; a keyring password follows a change of server,
// port or user name, and leaves the keyring when the account no longer keeps
// it there (after the record is written: see ForgetOldKeyringEntry). Nothing
// is ever written to the file when the keyring refuses.
void PlacePassword(const AccountOptions& options, const AccountForm& form,
                   const AccountRecord& before, AccountRecord& record) {
  const bool wasInKeyring = before.SecretIn() == SecretPlace::secretKeyring;
  bool toKeyring =
      options.secretIn ? *options.secretIn == SecretPlace::secretKeyring : wasInKeyring;
  if (record.UsesOAuth()) {
    if (options.secretIn == SecretPlace::secretKeyring) {
      throw UsageError("an OAuth2 account keeps no password for the keyring");
    }
    toKeyring = false;
  }
  if (!wasInKeyring && !toKeyring) return;
  std::string password;
  const bool typed = options.password || options.passwordFromStdin;
  if (typed) {
    password = form.password;
  } else if (record.UsesOAuth()) {
    password.clear();  // the OAuth2 marker is already in the field
  } else if (wasInKeyring) {
    SecretResult read = SystemSecretStore()->Read(KeyringKeyOf(before));
    if (!read.ok) throw KeyringError(read.reason);
    password = std::move(read.secret);
  } else {
    password = before.PlainPassword();
  }
  if (toKeyring) {
    const SecretResult written =
        SystemSecretStore()->Write(KeyringKeyOf(record), KeyringLabelOf(record), password);
    if (!written.ok) throw KeyringError(written.reason);
    record.SetPlainPassword(kKeyringMarker);
    record.SetSecretIn(SecretPlace::secretKeyring);
  } else {
    if (!record.UsesOAuth()) record.SetPlainPassword(password);
    record.SetSecretIn(SecretPlace::secretFile);
  }
}

// After the record is written: the keyring entry it no longer uses goes.
void ForgetOldKeyringEntry(const AccountRecord& before, const AccountRecord& record,
                           std::ostream& err) {
  if (before.SecretIn() != SecretPlace::secretKeyring) return;
  const SecretKey oldKey = KeyringKeyOf(before);
  const SecretKey newKey = KeyringKeyOf(record);
  const bool same = record.SecretIn() == SecretPlace::secretKeyring &&
                    oldKey.server == newKey.server && oldKey.port == newKey.port &&
                    oldKey.user == newKey.user;
  if (same) return;
  const SecretResult erased = SystemSecretStore()->Erase(oldKey);
  if (!erased.ok) err << "The old password stays in the keyring: " << erased.reason << '\n';
}

// The login kind the options choose for `record`. A change of kind forgets
// the login method found for the old one. The token command goes to the
// OAuth2 settings file first: should that fail, the record stays as it was.
void ApplyLoginOptions(const AccountOptions& options, AccountRecord& record) {
  LoginKind kind = record.Login();
  if (options.oauthCommand) {
    OAuthSettingsFile settings(OAuthSettingsFileFor(kAccountsFileName));
    settings.Load();
    OAuthSettings entry = settings.Find(record.PlainUidlFileName()).value_or(OAuthSettings{});
    entry.command = *options.oauthCommand;
    settings.Set(record.PlainUidlFileName(), entry);
    settings.Save();
    kind = LoginKind::loginOAuthCommand;
  } else if (options.password || options.passwordFromStdin) {
    kind = LoginKind::loginPassword;
  }
  if (kind != record.Login()) {
    record.SetLogin(kind);
    record.AuthMethod.Clear();
  }
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

void PrintAccount(std::ostream& out, std::size_t index, const AccountRecord& record) {
  out << '#' << index << '\t' << record.PlainAccountName() << '\t' << record.PlainServer() << ':'
      << record.Port << '\t' << "user " << record.PlainUserName() << '\t' << "every "
      << record.Interval << " s\t" << (record.IsEnabled() ? "enabled" : "disabled") << '\t'
      << (record.LeavesMailOnServer() ? "leave-mail" : "whole-mailbox") << '\t' << "auth "
      << (record.AuthMethod.Empty() ? std::string("(not found yet)") : record.PlainAuthMethod())
      << '\t' << "security " << SecurityName(record.SecurityMode()) << '\t' << "login "
      << LoginName(record.Login()) << '\t' << "secret "
      << (record.SecretIn() == SecretPlace::secretKeyring ? "keyring" : "file") << '\t' << "seen "
      << record.PlainUidlFileName() << '\n';
}

int AccountsList(std::ostream& out) {
  AccountFile file;
  if (!std::filesystem::exists(file.FileName())) {
    out << "No accounts (no " << kAccountsFileName << " here).\n";
    return kExitOk;
  }
  file.Open();
  const std::size_t count = file.RecordCount();
  if (count == 0) out << "No accounts.\n";
  for (std::size_t i = 0; i < count; ++i) PrintAccount(out, i, file.ReadRecord(i));
  if (count > kMaxAccounts) {
    out << "Only the first " << kMaxAccounts << " accounts are checked.\n";
  }
  return kExitOk;
}

int AccountsAdd(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  const AccountOptions options = ParseAccountOptions(arguments, 1);
  AccountForm form;
  form.enabled = true;
  ApplyOptions(options, environment, form);
  if (auto message = MissingFieldMessage(form)) {
    err << *message << '\n';
    return kExitUsage;
  }
  AccountFile file;
  file.Open();
  const std::size_t count = file.RecordCount();
  if (count >= kMaxAccounts) {
    err << kTooManyAccountsMessage << '\n';
    return kExitUsage;
  }
  if (NameTaken(file, form.name, std::nullopt)) {
    err << kDuplicateNameMessage << '\n';
    return kExitUsage;
  }
  AccountRecord record = NewAccountRecord(form, TickCount());
  ApplyLoginOptions(options, record);
  try {
    PlacePassword(options, form, AccountRecord{}, record);
  } catch (const KeyringError& e) {
    err << "corvel: " << form.name << ": " << e.what() << '\n';
    return kExitUsage;
  }
  file.WriteRecord(count, record);
  out << "Account " << form.name << " added (#" << count << ").\n";
  return kExitOk;
}

int AccountsSet(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  if (arguments.size() < 2 || IsOption(arguments[1])) {
    throw UsageError("accounts set needs an account: a name or #INDEX");
  }
  const AccountOptions options = ParseAccountOptions(arguments, 2);
  AccountFile file;
  file.Open();
  const std::size_t index = FindAccount(file, arguments[1]);
  AccountRecord record = file.ReadRecord(index);
  const AccountRecord before = record;
  AccountForm form = RecordToForm(record);
  ApplyOptions(options, environment, form);
  if (auto message = MissingFieldMessage(form)) {
    err << *message << '\n';
    return kExitUsage;
  }
  if (NameTaken(file, form.name, index)) {
    err << kDuplicateNameMessage << '\n';
    return kExitUsage;
  }
  FormToRecord(form, record);
  if (record.UidlFileName.Empty()) {
    record.SetPlainUidlFileName(MakeUidlFileName(form.name, TickCount()));
  }
  ApplyLoginOptions(options, record);
  try {
    PlacePassword(options, form, before, record);
  } catch (const KeyringError& e) {
    err << "corvel: " << form.name << ": " << e.what() << '\n';
    return kExitUsage;
  }
  file.WriteRecord(index, record);
  ForgetOldKeyringEntry(before, record, err);
  out << "Account " << form.name << " updated.\n";
  return kExitOk;
}

int AccountsDelete(const std::vector<std::string>& arguments, std::ostream& out) {
  if (arguments.size() != 2)
    throw UsageError("accounts delete needs one account: a name or #INDEX");
  AccountFile file;
  file.Open();
  const std::size_t index = FindAccount(file, arguments[1]);
  const AccountRecord record = file.ReadRecord(index);
  const std::string name = record.PlainAccountName();
  file.DeleteRecord(index);
  if (record.SecretIn() == SecretPlace::secretKeyring) {
    AccountRecord gone = record;
    gone.SetSecretIn(SecretPlace::secretFile);
    ForgetOldKeyringEntry(record, gone, out);
  }
  out << "Account " << name << " deleted; its seen-message file stays on disk.\n";
  return kExitOk;
}

int AccountsClearAuth(const std::vector<std::string>& arguments, std::ostream& out) {
  if (arguments.size() != 2) {
    throw UsageError("accounts clear-auth needs one account: a name or #INDEX");
  }
  AccountFile file;
  file.Open();
  const std::size_t index = FindAccount(file, arguments[1]);
  AccountRecord record = file.ReadRecord(index);
  record.AuthMethod.Clear();
  file.WriteRecord(index, record);
  out << "Account " << record.PlainAccountName()
      << ": the login method will be found again at the next check.\n";
  return kExitOk;
}

// ---------------------------------------------------------------- settings

const KnownSetting& FindSetting(std::string_view name) {
  for (const KnownSetting& known : kSettings) {
    if (known.name == name) return known;
  }
  throw UsageError("unknown setting '" + std::string(name) + "'");
}

std::optional<bool> ParseBool(std::string_view text) {
  const std::string upper = Upper(text);
  if (upper == "TRUE" || upper == "ON" || upper == "YES" || upper == "1") return true;
  if (upper == "FALSE" || upper == "OFF" || upper == "NO" || upper == "0") return false;
  return std::nullopt;
}

}  // namespace

std::string UsageText() {
  return "Usage: corvel [-C DIR] [--console] [--log] [--MINIMIZE]\n"
         "       corvel [-C DIR] check [--all-mail] [--quiet]\n"
         "       corvel [-C DIR] accounts list\n"
         "       corvel [-C DIR] accounts add --name N --server S [--port P] --user U\n"
         "                       (--password P | --password-stdin) [--interval SECONDS]\n"
         "                       [--leave-mail] [--disabled] [--security auto|starttls|tls]\n"
         "                       [--oauth-command 'CMD ARGS' instead of a password]\n"
         "                       [--secret-store keyring|file]\n"
         "       corvel [-C DIR] accounts set NAME|#INDEX [the options of add]\n"
         "                       [--no-leave-mail] [--enabled]\n"
         "       corvel [-C DIR] accounts delete NAME|#INDEX\n"
         "       corvel [-C DIR] accounts clear-auth NAME|#INDEX\n"
         "       corvel settings list | get KEY | set KEY VALUE   (KEY: ConnErr, Balloon, "
         "AllMail, Log,\n"
         "                       FastListing; CheckDeadline in seconds, 0: automatic)\n"
         "       corvel demo\n"
         "       corvel --help | --version\n"
         "\n"
         "Corvel checks POP3 mailboxes for new mail without downloading or deleting anything.\n"
         "The accounts live in mail.accounts.qor in the working directory (-C DIR changes\n"
         "into DIR first); the seen-message files beside it.\n"
         "\n"
         "Exit status: 0 success, 1 an account could not be reached or logged in to,\n"
         "2 a usage or file error.\n";
}

int Main(const std::vector<std::string>& arguments, const Environment& environment,
         std::ostream& out, std::ostream& err) {
  try {
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      const std::string& a = arguments[i];
      if (a == "--help" || a == "-h") {
        out << UsageText();
        return kExitOk;
      }
      if (a == "--version") {
        out << "corvel " << kVersion << '\n';
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
      rest.push_back(a);
    }
    if (!rest.empty() && !IsOption(rest[0])) {
      const std::string command = rest[0];
      const std::vector<std::string> commandArguments(rest.begin() + 1, rest.end());
      if (command == "check") return RunCheck(commandArguments, environment, out, err);
      if (command == "accounts") return RunAccounts(commandArguments, environment, out, err);
      if (command == "settings") return RunSettings(commandArguments, environment, out, err);
      if (command == "demo") return RunDemo(commandArguments, environment, out, err);
      throw UsageError("unknown command '" + command + "'");
    }
    return RunProgram(rest, environment, out, err);
  } catch (const UsageError& e) {
    err << "corvel: " << e.what() << " (corvel --help shows the usage)\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "corvel: " << e.what() << '\n';
    return kExitUsage;
  }
}

int RunProgram(const std::vector<std::string>& arguments, const Environment& environment,
               std::ostream& out, std::ostream& err) {
  bool forceLog = false;
  bool console = false;
  for (const std::string& a : arguments) {
    if (a == "--log") {
      forceLog = true;
    } else if (a == "--console") {
      console = true;
    } else if (Upper(a) != "--MINIMIZE") {
      throw UsageError("unknown option '" + a + "'");
    }
  }
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
  ConsoleSession session(environment, out, err, ConsoleSession::Mode::Program, forceLog, arguments);
  return session.RunProgram();
}

int RunCheck(const std::vector<std::string>& arguments, const Environment& environment,
             std::ostream& out, std::ostream& err) {
  bool allMail = false;
  bool quiet = false;
  for (const std::string& a : arguments) {
    if (a == "--all-mail") {
      allMail = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else {
      throw UsageError("unknown option '" + a + "' for check");
    }
  }
  ConsoleSession session(environment, out, err, ConsoleSession::Mode::Check, !quiet, {});
  return session.CheckOnce(allMail);
}

int RunAccounts(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  if (arguments.empty()) throw UsageError("accounts needs list, add, set, delete or clear-auth");
  const std::string& what = arguments[0];
  try {
    if (what == "list") {
      if (arguments.size() != 1) throw UsageError("accounts list takes no arguments");
      return AccountsList(out);
    }
    if (what == "add") return AccountsAdd(arguments, environment, out, err);
    if (what == "set") return AccountsSet(arguments, environment, out, err);
    if (what == "delete") return AccountsDelete(arguments, out);
    if (what == "clear-auth") return AccountsClearAuth(arguments, out);
  } catch (const InOutException& e) {
    err << "corvel: " << kAccountsFileName << ": " << e.what() << '\n';
    return kExitUsage;
  }
  throw UsageError("unknown accounts command '" + what + "'");
}

int RunSettings(const std::vector<std::string>& arguments, const Environment& environment,
                std::ostream& out, std::ostream& err) {
  if (arguments.empty()) throw UsageError("settings needs list, get KEY or set KEY VALUE");
  FileSettingsStore store(environment.configFolder);
  store.Open();
  const std::string& what = arguments[0];
  if (what == "list" && arguments.size() == 1) {
    for (const KnownSetting& setting : kSettings) {
      out << setting.name << '=' << store.ReadString(kProgramKey, setting.name, setting.defaultText)
          << '\n';
    }
    const std::string run = store.ReadString(kRunKey, kRunValueName, "");
    out << "StartWithSession=" << (run.empty() ? "False" : "True") << '\n';
    return kExitOk;
  }
  if (what == "get" && arguments.size() == 2) {
    const KnownSetting& setting = FindSetting(arguments[1]);
    out << store.ReadString(kProgramKey, setting.name, setting.defaultText) << '\n';
    return kExitOk;
  }
  if (what == "set" && arguments.size() == 3) {
    const KnownSetting& setting = FindSetting(arguments[1]);
    if (setting.seconds) {
      const auto seconds = ParseWholeNumber(arguments[2]);
      if (!seconds || *seconds < 0) {
        throw UsageError(std::string(setting.name) +
                         " is a number of seconds (0: automatic), not '" + arguments[2] + "'");
      }
      store.WriteString(kProgramKey, setting.name, std::to_string(*seconds));
    } else {
      const auto value = ParseBool(arguments[2]);
      if (!value) throw UsageError("a setting is True or False, not '" + arguments[2] + "'");
      store.WriteString(kProgramKey, setting.name, *value ? "True" : "False");
    }
    store.Close();
    return kExitOk;
  }
  (void)err;
  throw UsageError("settings needs list, get KEY or set KEY VALUE");
}

}  // namespace corvel::console
