#include "console/status_command.h"

#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>

#include "app/text/display_text.h"
#include "console/console_session.h"
#include "console/terminal_text.h"

namespace corvel::console {
namespace {

// How long the running program may take to answer.
constexpr int kAskTimeoutMs = 3000;

std::string Mails(std::int64_t count) {
  return count == 1 ? "1 new mail" : std::to_string(count) + " new mails";
}

struct Totals {
  std::int64_t count = 0;
  std::int64_t bytes = 0;
  std::size_t failed = 0;
  [[nodiscard]] std::string_view Class() const {
    if (count > 0) return "new";
    return failed > 0 ? "error" : "none";
  }
};

Totals Sum(const StatusReport& report) {
  Totals totals;
  for (const AccountCounts& account : report.accounts) {
    totals.count += account.newCount;
    totals.bytes += account.newBytes;
    if (!account.failure.empty()) ++totals.failed;
  }
  return totals;
}

// One account in a few words: its news, or why its last check failed.
std::string AccountLine(const AccountCounts& account) {
  std::string line = DisplayText(account.account) + ": ";
  if (account.newCount > 0) {
    line += Mails(account.newCount) + " (" + std::to_string(account.newBytes) + " bytes)";
  } else if (account.lastCheck == 0 && account.failure.empty()) {
    line += "not checked yet";
  } else {
    line += "no new mail";
  }
  if (!account.failure.empty()) line += "; the last check failed: " + DisplayText(account.failure);
  return line;
}

bool SameFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ignored;
  return std::filesystem::equivalent(a, b, ignored);
}

}  // namespace

int PrintStatus(const StatusReport& report, StatusFormat format, std::ostream& out) {
  const Totals totals = Sum(report);
  switch (format) {
    case StatusFormat::text:
      if (report.accounts.empty()) out << "No accounts.\n";
      for (const AccountCounts& account : report.accounts) {
        out << TerminalText(AccountLine(account)) << '\n';
      }
      return kExitOk;
    case StatusFormat::json: {
      nlohmann::json accounts = nlohmann::json::array();
      for (const AccountCounts& account : report.accounts) {
        accounts.push_back({{"account", DisplayText(account.account)},
                            {"new", account.newCount},
                            {"bytes", account.newBytes},
                            {"lastCheck", account.lastCheck},
                            {"failure", DisplayText(account.failure)}});
      }
      out << nlohmann::json{{"new", totals.count},
                            {"bytes", totals.bytes},
                            {"class", totals.Class()},
                            {"accounts", accounts}}
                 .dump()
          << '\n';
      return kExitOk;
    }
    case StatusFormat::waybar: {
      std::string tooltip;
      for (const AccountCounts& account : report.accounts) {
        tooltip += (tooltip.empty() ? "" : "\n") + AccountLine(account);
      }
      if (tooltip.empty()) tooltip = "No accounts";
      out << nlohmann::json{{"text", std::to_string(totals.count)},
                            {"tooltip", tooltip},
                            {"class", totals.Class()},
                            {"alt", totals.Class()}}
                 .dump()
          << '\n';
      return kExitOk;
    }
    case StatusFormat::i3blocks: {
      std::string full;
      std::string colour;
      if (totals.count > 0) {
        std::string where;
        for (const AccountCounts& account : report.accounts) {
          if (account.newCount == 0) continue;
          where += (where.empty() ? "" : ", ") + DisplayText(account.account) + " " +
                   std::to_string(account.newCount);
        }
        full = "Mail: " + Mails(totals.count) + " (" + where + ")";
        colour = "#FFD700";
      } else if (totals.failed > 0) {
        std::string which;
        for (const AccountCounts& account : report.accounts) {
          if (!account.failure.empty()) which += (which.empty() ? "" : ", ") + account.account;
        }
        full = "Mail: " + DisplayText(which) + " failed";
        colour = "#FF5555";
      } else {
        full = "Mail: none";
      }
      // i3blocks reads a line each: a line break in a name would shift them.
      out << TerminalText(full) << '\n'
          << (totals.count > 0 ? std::to_string(totals.count)
                               : std::string(totals.failed > 0 ? "!" : "0"))
          << '\n'
          << colour << '\n';
      return totals.count > 0 ? kExitNewMail : kExitOk;
    }
  }
  return kExitOk;
}

int RunStatus(StatusFormat format, const Environment& environment, std::ostream& out,
              std::ostream& err) {
  std::error_code ignored;
  const std::filesystem::path here = std::filesystem::current_path(ignored);
  std::string why;
  if (auto running = AskRunningProgram(kAskTimeoutMs, why);
      running && SameFolder(running->folder, here)) {
    return PrintStatus({std::move(running->accounts)}, format, out);
  }

  // No program runs for this folder: a quiet check of every enabled account.
  SessionOptions options;
  options.mode = SessionOptions::Mode::Check;
  options.quiet = true;
  options.silent = true;
  ConsoleSession session(environment, out, err, std::move(options));
  std::vector<CheckReport> reports;
  if (const int status = session.CheckReports(reports); status == kExitUsage) return status;
  StatusReport report;
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  for (const CheckReport& check : reports) {
    AccountCounts& account = report.accounts.emplace_back();
    account.account = check.account;
    account.newCount = check.newCount;
    account.newBytes = check.newBytes;
    account.lastCheck = now;
    account.failure = check.reason;
  }
  return PrintStatus(report, format, out);
}

}  // namespace corvel::console
