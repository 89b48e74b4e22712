#include "console/json_output.h"

#include <charconv>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "console/display_text.h"

namespace corvel::console {

namespace {

std::string Utf8(std::string_view text) {
  return IsValidUtf8(text) ? std::string(text) : Windows1252ToUtf8(text);
}

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
    case CheckOutcome::NoMethodFound:
    case CheckOutcome::LoginFailed:
      return "login";
    case CheckOutcome::MethodDiscovered:
    case CheckOutcome::Checked:
      break;
  }
  return "none";
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

std::string Dump(const nlohmann::ordered_json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string RowJson(const MailRow& row) {
  nlohmann::ordered_json object;
  object["kind"] = row.from.empty() ? "overview" : "message";
  object["account"] = Utf8(row.account);
  object["from"] = Utf8(row.from);
  object["subject"] = Utf8(row.subject);
  object["date"] = Utf8(row.date);
  object["bytes"] = Bytes(row.bytes);
  object["uidl"] = Utf8(row.uidl);
  return Dump(object);
}

std::string FailureJson(const CheckReport& report) {
  nlohmann::ordered_json object;
  object["kind"] = "failure";
  object["account"] = Utf8(report.account);
  object["outcome"] = OutcomeName(report.outcome);
  object["reason"] = Utf8(report.reason);
  return Dump(object);
}

std::string AccountJson(std::size_t index, const AccountRecord& record) {
  nlohmann::ordered_json object;
  object["index"] = index;
  object["name"] = Utf8(record.PlainAccountName());
  object["server"] = Utf8(record.PlainServer());
  object["port"] = record.Port;
  object["user"] = Utf8(record.PlainUserName());
  object["interval"] = record.Interval;
  object["enabled"] = record.IsEnabled();
  object["leaveMail"] = record.LeavesMailOnServer();
  object["auth"] = Utf8(record.PlainAuthMethod());
  object["security"] = SecurityName(record.SecurityMode());
  object["seenFile"] = Utf8(record.PlainUidlFileName());
  return Dump(object);
}

}  // namespace corvel::console
