#include "checker/outage_notices.h"

namespace corvel {

bool CannotConnect(CheckOutcome outcome) {
  return outcome == CheckOutcome::ConnectFailed || outcome == CheckOutcome::ReconnectFailed ||
         outcome == CheckOutcome::TlsFailed;
}

void OutageNotices::CheckEnding(const CheckReport& report, bool reasonLogged) {
  if (!CheckFailed(report.outcome)) {
    const auto found = outages_.find(report.account);
    if (found == outages_.end()) return;
    const std::uint64_t failed = found->second.failedChecks;
    outages_.erase(found);
    host_.WriteLog(report.account, "Works again after " + std::to_string(failed) +
                                       (failed == 1 ? " failed check." : " failed checks."));
    return;
  }
  Outage& outage = outages_[report.account];
  ++outage.failedChecks;
  outage.reason = report.reason;
  if (!reasonLogged && !report.reason.empty()) host_.WriteLog(report.account, report.reason);
  if (!outage.told && CannotConnect(report.outcome) && host_.OptionChecked(CheckOption::ConnErr) &&
      !host_.AccountQuiet(report.account)) {
    host_.BalloonNotify("Connection error!", report.account + ": " + report.reason, kBalloonError,
                        15);
    outage.told = true;
  }
}

std::vector<std::string> OutageNotices::FailingAccounts() const {
  std::vector<std::string> accounts;
  for (const auto& [account, outage] : outages_) accounts.push_back(account);
  return accounts;
}

std::string OutageNotices::ReasonOf(const std::string& account) const {
  const auto found = outages_.find(account);
  return found == outages_.end() ? std::string() : found->second.reason;
}

}  // namespace corvel
