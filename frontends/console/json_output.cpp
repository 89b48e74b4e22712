#include "console/json_output.h"

#include <charconv>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "app/text/display_text.h"
#include "console/commands.h"

namespace corvel::console {

namespace {

std::int64_t Bytes(std::string_view text) {
  std::int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::string_view OutcomeName(CheckOutcome outcome) {
  switch (outcome) {
    case CheckOutcome::ConnectFailed:
    case CheckOutcome::ReconnectFailed:
      return "connect";
    case CheckOutcome::TlsFailed:
      return "tls";
    case CheckOutcome::NotAttempted:
      return "secret";
    case CheckOutcome::NoMethodFound:
    case CheckOutcome::LoginFailed:
      return "login";
    case CheckOutcome::EndedEarly:
      return "incomplete";
    case CheckOutcome::MethodDiscovered:
    case CheckOutcome::Checked:
      break;
  }
  return "none";
}

// The JSON text of `object`. JSON escapes the C0 controls itself; DEL and
// the C1 controls (U+0080..U+009F) it may leave as they are, and a terminal
// the line is shown on would act on them: they are escaped too. Outside
// strings the text holds neither.
std::string Dump(const nlohmann::ordered_json& object) {
  const std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    unsigned control = 0x100;
    if (c == 0x7F) {
      control = c;
    } else if (c == 0xC2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      control = static_cast<unsigned char>(text[++i]);
    }
    if (control == 0x100) {
      out += static_cast<char>(c);
    } else {
      out += "\\u00";
      out += kHex[control >> 4];
      out += kHex[control & 15];
    }
  }
  return out;
}

}  // namespace

std::string RowJson(const MailRow& row) {
  const auto columns = DisplayColumns(row);
  nlohmann::ordered_json object;
  object["kind"] = row.from.empty() ? "overview" : "message";
  object["account"] = columns[0];
  object["from"] = columns[1];
  object["subject"] = columns[2];
  object["date"] = columns[3];
  object["bytes"] = Bytes(row.bytes);
  object["uidl"] = columns[5];
  return Dump(object);
}

std::string FailureJson(const CheckReport& report) {
  nlohmann::ordered_json object;
  object["kind"] = "failure";
  object["account"] = DisplayText(report.account);
  object["outcome"] = OutcomeName(report.outcome);
  object["reason"] = DisplayText(report.reason);
  return Dump(object);
}

std::string AccountJson(std::size_t index, const AccountRecord& record,
                        const ProtocolOptions& protocol, bool quiet) {
  nlohmann::ordered_json object;
  object["index"] = index;
  object["name"] = DisplayText(record.PlainAccountName());
  object["server"] = DisplayText(record.PlainServer());
  object["port"] = record.Port;
  object["user"] = DisplayText(record.PlainUserName());
  object["interval"] = record.Interval;
  object["enabled"] = record.IsEnabled();
  object["leaveMail"] = record.LeavesMailOnServer();
  object["auth"] = DisplayText(record.PlainAuthMethod());
  object["security"] = SecurityName(record.SecurityMode());
  object["seenFile"] = DisplayText(record.PlainUidlFileName());
  object["protocol"] = ProtocolName(protocol.protocol);
  // Mailbox names are kept in UTF-8 already.
  if (protocol.protocol == MailProtocol::imap) object["folders"] = protocol.folders;
  object["quiet"] = quiet;
  return Dump(object);
}

}  // namespace corvel::console
