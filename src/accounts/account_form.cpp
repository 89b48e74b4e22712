#include "accounts/account_form.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace corvel {

LoginChoice LoginChoiceOf(std::string_view caption) {
  for (std::size_t i = 0; i < kLoginChoices.size(); ++i) {
    if (kLoginChoices[i] == caption) return static_cast<LoginChoice>(i);
  }
  return LoginChoice::password;
}

std::string_view LoginChoiceCaption(LoginChoice choice) {
  return kLoginChoices[static_cast<std::size_t>(choice)];
}

bool SignsIn(LoginChoice choice) {
  return choice == LoginChoice::microsoft || choice == LoginChoice::google ||
         choice == LoginChoice::otherOAuth;
}

std::string_view ProviderOfChoice(LoginChoice choice) {
  switch (choice) {
    case LoginChoice::microsoft:
      return "microsoft";
    case LoginChoice::google:
      return "google";
    case LoginChoice::otherOAuth:
      return "custom";
    case LoginChoice::password:
    case LoginChoice::tokenCommand:
      break;
  }
  return {};
}

LoginChoice ChoiceOfProvider(std::string_view provider) {
  if (provider == "microsoft") return LoginChoice::microsoft;
  if (provider == "google") return LoginChoice::google;
  return LoginChoice::otherOAuth;
}

std::optional<std::string_view> MissingFieldMessage(const AccountForm& form) {
  const std::array<std::pair<const std::string*, std::string_view>, 6> required = {{
      {&form.name, "No account name specified!"},
      {&form.server, "No server specified!"},
      {&form.port, "No port specified!"},
      {&form.user, "No user name specified!"},
      {&form.password, "No password specified!"},
      {&form.interval, "No interval specified!"},
  }};
  for (const auto& [text, message] : required) {
    if (text->empty()) return message;
  }
  return std::nullopt;
}

std::optional<std::int32_t> ParsePortText(std::string_view text) {
  if (text == "pop3") return kDefaultPort;
  if (text == "pop3s") return 995;
  if (text == "imap") return kImapPort;
  if (text == "imaps") return kImapsPort;
  const auto port = ParseWholeNumber(text);
  if (!port || *port < 1 || *port > 65535) return std::nullopt;
  return port;
}

std::optional<std::string> InvalidFieldMessage(const AccountForm& form) {
  if (!ParsePortText(form.port)) {
    return "The port must be a whole number from 1 to 65535, not '" + form.port + "'!";
  }
  if (!ParseWholeNumber(ClampIntervalText(form.interval))) {
    return "The interval must be a whole number of seconds, not '" + form.interval + "'!";
  }
  std::string why;
  if (form.protocol == MailProtocol::imap && !ParseFolderList(form.folders, why)) return why;
  return std::nullopt;
}

ProtocolOptions FormToProtocolOptions(const AccountForm& form) {
  ProtocolOptions options;
  options.protocol = form.protocol;
  std::string why;
  if (auto folders = ParseFolderList(form.folders, why)) options.folders = std::move(*folders);
  return options;
}

void ProtocolOptionsToForm(const ProtocolOptions& options, AccountForm& form) {
  form.protocol = options.protocol;
  form.folders = FolderListText(options.folders);
}

void SwitchProtocol(AccountForm& form, MailProtocol protocol) {
  if (form.protocol == protocol) return;
  form.protocol = protocol;
  const bool imap = protocol == MailProtocol::imap;
  const std::optional<std::int32_t> port = ParsePortText(form.port);
  if (form.port.empty() || port == kDefaultPort || port == kImapPort) {
    form.port = std::to_string(imap ? kImapPort : kDefaultPort);
  } else if (port == 995 || port == kImapsPort) {
    form.port = std::to_string(imap ? kImapsPort : 995);
  }
  if (imap) {
    form.leaveMail = true;
    if (form.folders.empty()) form.folders = kDefaultFolder;
  }
}

AccountForm RecordToForm(const AccountRecord& record) {
  AccountForm form;
  form.enabled = record.Enabled == 1;
  form.name = record.PlainAccountName();
  form.server = record.PlainServer();
  form.port = std::to_string(record.Port);
  form.user = record.PlainUserName();
  form.password = record.PlainPassword();
  form.interval = std::to_string(record.Interval);
  form.leaveMail = record.LeaveMail == 1;
  form.securityMode = record.SecurityMode();
  return form;
}

void LoginToForm(const AccountRecord& record, const std::optional<OAuthSettings>& settings,
                 AccountForm& form) {
  form.keepInKeyring = false;
  switch (record.Login()) {
    case LoginKind::loginPassword:
      form.login = LoginChoice::password;
      form.keepInKeyring = record.SecretIn() == SecretPlace::secretKeyring;
      return;
    case LoginKind::loginOAuthCommand:
      form.login = LoginChoice::tokenCommand;
      if (settings) form.tokenCommand = settings->command;
      return;
    case LoginKind::loginOAuthBuiltIn:
      form.login = settings ? ChoiceOfProvider(settings->provider) : LoginChoice::otherOAuth;
      if (!settings) return;
      form.clientId = settings->clientId;
      // A known provider's endpoints and scope are its own.
      if (form.login == LoginChoice::otherOAuth) {
        form.authorizeUrl = settings->authorizeUrl;
        form.tokenUrl = settings->tokenUrl;
        form.scope = settings->scope;
      }
      return;
  }
}

void FormToRecord(const AccountForm& form, AccountRecord& record) {
  record.Enabled = form.enabled ? 1 : 0;
  record.LeaveMail = form.leaveMail ? 1 : 0;
  record.SetPlainAccountName(form.name);
  record.SetPlainServer(form.server);
  record.SetPlainUserName(form.user);
  record.SetPlainPassword(form.password);
  record.Port = ParsePortText(form.port).value_or(kDefaultPort);
  record.Interval = ParseWholeNumber(form.interval).value_or(kDefaultInterval);
  record.SetSecurityMode(form.securityMode);
}

AccountRecord NewAccountRecord(const AccountForm& form, std::uint32_t tickCount) {
  AccountRecord record;
  FormToRecord(form, record);
  record.SetPlainUidlFileName(MakeUidlFileName(form.name, tickCount));
  return record;
}

bool NameTaken(const AccountFile& file, std::string_view name, std::optional<std::size_t> shown) {
  const std::size_t count = file.RecordCount();
  for (std::size_t i = 0; i < count; ++i) {
    if (shown && *shown == i) continue;
    if (file.ReadRecord(i).PlainAccountName() == name) return true;
  }
  return false;
}

std::string ClampIntervalText(std::string_view text) {
  std::size_t pos = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    pos = 1;
  }
  if (pos == text.size()) return std::string(text);
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return std::string(text);
    // Saturate: a longer run of digits is simply above the maximum.
    value = std::min<std::int64_t>(value * 10 + (text[pos] - '0'), kMax + 1);
  }
  if (negative && value > 0) return std::to_string(kMinInterval);
  if (value < kMinInterval) return std::to_string(kMinInterval);
  if (value > kMax) return std::to_string(kMax);
  return std::string(text);
}

}  // namespace corvel
