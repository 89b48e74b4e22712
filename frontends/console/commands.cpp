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

// The settings the `settings` command knows: the option boxes.
constexpr std::string_view kOptionNames[] = {"ConnErr", "Balloon", "AllMail", "Log"};

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
  bool passwordFromStdin = false;
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
    } else {
      throw UsageError("unknown option '" + a + "'");
    }
  }
  if (options.passwordFromStdin && options.password) {
    throw UsageError("give either --password or --password-stdin, not both");
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
      << '\t' << "security " << SecurityName(record.SecurityMode()) << '\t' << "seen "
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
  file.WriteRecord(count, NewAccountRecord(form, TickCount()));
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
  file.WriteRecord(index, record);
  out << "Account " << form.name << " updated.\n";
  return kExitOk;
}

int AccountsDelete(const std::vector<std::string>& arguments, std::ostream& out) {
  if (arguments.size() != 2)
    throw UsageError("accounts delete needs one account: a name or #INDEX");
  AccountFile file;
  file.Open();
  const std::size_t index = FindAccount(file, arguments[1]);
  const std::string name = file.ReadRecord(index).PlainAccountName();
  file.DeleteRecord(index);
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

bool KnownOption(std::string_view name) {
  for (std::string_view known : kOptionNames) {
    if (known == name) return true;
  }
  return false;
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
         "       corvel [-C DIR] accounts set NAME|#INDEX [the options of add]\n"
         "                       [--no-leave-mail] [--enabled]\n"
         "       corvel [-C DIR] accounts delete NAME|#INDEX\n"
         "       corvel [-C DIR] accounts clear-auth NAME|#INDEX\n"
         "       corvel settings list | get KEY | set KEY VALUE   (KEY: ConnErr, Balloon, "
         "AllMail, Log)\n"
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
    for (std::string_view name : kOptionNames) {
      out << name << '=' << store.ReadString(kProgramKey, name, "False") << '\n';
    }
    const std::string run = store.ReadString(kRunKey, kRunValueName, "");
    out << "StartWithSession=" << (run.empty() ? "False" : "True") << '\n';
    return kExitOk;
  }
  if (what == "get" && arguments.size() == 2) {
    if (!KnownOption(arguments[1])) throw UsageError("unknown setting '" + arguments[1] + "'");
    out << store.ReadString(kProgramKey, arguments[1], "False") << '\n';
    return kExitOk;
  }
  if (what == "set" && arguments.size() == 3) {
    if (!KnownOption(arguments[1])) throw UsageError("unknown setting '" + arguments[1] + "'");
    const auto value = ParseBool(arguments[2]);
    if (!value) throw UsageError("a setting is True or False, not '" + arguments[2] + "'");
    store.WriteString(kProgramKey, arguments[1], *value ? "True" : "False");
    store.Close();
    return kExitOk;
  }
  (void)err;
  throw UsageError("settings needs list, get KEY or set KEY VALUE");
}

}  // namespace corvel::console
