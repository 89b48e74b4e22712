// When each account is checked. Every enabled account counts the seconds
// towards its interval in its Elapsed; an account whose count has reached or
// passed its interval is due, and the check timer's tick checks the due
// accounts in turn. The seconds come from a monotonic clock, so the program
// need not wake up each second to count them: it sleeps until WaitMs() says
// the next account is due.
//
// Counting runs while the check timer is on (not while the account editor is
// open) and goes on during a check, so a slow server holds back no other
// account. Elapsed keeps its meaning for the accounts file and a reload:
// whole seconds counted since the account's last check ended.
//
// Beside the intervals there is a round: accounts to be checked once, soon, a
// few seconds apart (after the machine woke from sleep, or when the network
// came back for the accounts that failed without it). A round may wait for
// the network, up to a limit; an account waiting in a round is not checked
// for its interval meanwhile. Its check starts its interval anew.
//
// Everything runs on the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_table.h"
#include "checker/check_host.h"
#include "checker/mail_checker.h"

namespace corvel {

class CheckScheduler {
 public:
  // Milliseconds of a clock that never goes back.
  using MonotonicClock = std::function<std::uint64_t()>;
  // One check of the account at an index, ending with Elapsed set to 0 (as
  // MailChecker::CheckAccount does).
  using CheckFunction = std::function<CheckOutcome(std::size_t)>;

  // The spacing of a round's checks, and how long a round waits for the
  // network before it checks all the same.
  static constexpr std::uint64_t kRoundSpacingMs = 3000;
  static constexpr std::uint64_t kNetworkWaitMs = 60000;

  CheckScheduler(AccountTable& table, CheckHost& host, CheckFunction check, MonotonicClock clock);

  // Counting on (from now) and off (the time up to now still counts).
  void StartCounting();
  void StopCounting();
  [[nodiscard]] bool Counting() const { return counting_; }

  // Adds the whole seconds passed since the last count to the Elapsed of
  // every enabled account; the rest of a second is carried.
  void Count();

  // The check timer's tick: counts, then checks the due accounts in turn,
  // beginning after the one checked last. As the walk of the table always
  // did, it goes on after an account that could not be reached and ends after
  // one that was; the accounts still due are left for the next tick, which
  // WaitMs() then says is due at once. An account whose login method was just
  // found is due again at once. Nothing happens while counting is off or the
  // editor is open. An error of a check leaves the tick.
  void TimerTimer();

  // Milliseconds until an account is due (0: now); nothing when no account
  // ever will be (counting off, no enabled account with an interval).
  [[nodiscard]] std::optional<std::uint64_t> WaitMs() const;

  // The account at `index` is due now (a push from its server).
  void CheckSoon(std::size_t index);

  // A round of every enabled account.
  void StartRound(bool waitForNetwork);
  // A round of the accounts at these indices (added to a round under way).
  void AddToRound(const std::vector<std::size_t>& indices, bool waitForNetwork);
  // Whether a round has accounts left to check.
  [[nodiscard]] bool RoundActive() const { return !round_.empty(); }
  // The network is usable again: a round that waits for it goes on.
  void NetworkUsable();

 private:
  // The account a round knows it by across reloads of the table.
  [[nodiscard]] static std::string RoundKey(const AccountRecord& record);
  [[nodiscard]] bool InRound(const AccountRecord& record) const;
  // When the round's next check may start; nothing without a round.
  [[nodiscard]] std::optional<std::uint64_t> RoundDueAt() const;
  [[nodiscard]] bool Due(std::size_t index, std::uint64_t now) const;
  // After the check of `index` (known by `key` when it began) ended: the
  // time it took counts for the others; the account leaves the round.
  void Checked(std::size_t index, const std::string& key);

  AccountTable& table_;
  CheckHost& host_;
  CheckFunction check_;
  MonotonicClock clock_;

  bool counting_ = false;
  std::uint64_t countedUpTo_ = 0;
  // The account checked last; the next walk begins after it.
  std::optional<std::size_t> lastChecked_;

  std::vector<std::string> round_;
  std::uint64_t roundNextAt_ = 0;
  // Until when the round waits for the network (0: it does not wait).
  std::uint64_t roundWaitsUntil_ = 0;
};

}  // namespace corvel
