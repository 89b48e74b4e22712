// What the program tells of accounts that cannot be checked. Each account
// that fails is in an outage until a check of it works again: the log says
// why at every failed check (the reason `corvel check` prints) and says when
// the account works again; "Tell me once when I can't connect" shows one
// balloon per account and outage, naming the account and the reason, when it
// cannot be reached or protected (a refused connection, a time-out, a TLS
// failure, a refused STARTTLS). A balloon the box kept back is shown at a
// later failure of the same outage once the box is ticked.
//
// Loop thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "checker/check_host.h"
#include "checker/mail_checker.h"

namespace corvel {

class OutageNotices {
 public:
  explicit OutageNotices(CheckHost& host) : host_(host) {}

  // A check has ended, before its logout line. `reasonLogged`: the check has
  // already written its reason to the log as it is.
  void CheckEnding(const CheckReport& report, bool reasonLogged);

  // The accounts in an outage now, by name.
  [[nodiscard]] std::vector<std::string> FailingAccounts() const;
  // The reason of the account's last failed check; empty when it is not in
  // an outage.
  [[nodiscard]] std::string ReasonOf(const std::string& account) const;

 private:
  struct Outage {
    std::uint64_t failedChecks = 0;
    std::string reason;
    bool told = false;  // its balloon has been shown
  };

  CheckHost& host_;
  std::map<std::string, Outage> outages_;
};

// Whether a check that ended so could not reach or protect the connection.
[[nodiscard]] bool CannotConnect(CheckOutcome outcome);

}  // namespace corvel
