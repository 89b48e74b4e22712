#include "checker/check_scheduler.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace corvel {

namespace {

// Outcomes after which the walk goes on: the server was not reached.
bool NotReached(CheckOutcome outcome) {
  return outcome == CheckOutcome::ConnectFailed || outcome == CheckOutcome::ReconnectFailed ||
         outcome == CheckOutcome::NotAttempted;
}

// Whether the account is ever due for its interval: an interval below one
// second is never reached.
bool HasInterval(const AccountRecord& record) { return record.Interval >= 1; }

}  // namespace

CheckScheduler::CheckScheduler(AccountTable& table, CheckHost& host, CheckFunction check,
                               MonotonicClock clock)
    : table_(table), host_(host), check_(std::move(check)), clock_(std::move(clock)) {}

void CheckScheduler::StartCounting() {
  if (counting_) return;
  counting_ = true;
  countedUpTo_ = clock_();
}

void CheckScheduler::StopCounting() {
  if (!counting_) return;
  Count();
  counting_ = false;
}

void CheckScheduler::Count() {
  if (!counting_) return;
  const std::uint64_t now = clock_();
  if (now <= countedUpTo_) return;
  const std::uint64_t seconds = (now - countedUpTo_) / 1000;
  if (seconds == 0) return;
  countedUpTo_ += seconds * 1000;
  constexpr std::int64_t kMost = std::numeric_limits<std::int32_t>::max();
  const std::int64_t added = static_cast<std::int64_t>(std::min<std::uint64_t>(seconds, kMost));
  for (AccountRecord& record : table_.Walk()) {
    if (!record.IsEnabled()) continue;
    // Held at the largest count: a count that wrapped would make a due
    // account wait for another 68 years.
    record.Elapsed = static_cast<std::int32_t>(std::min(record.Elapsed + added, kMost));
  }
}

std::string CheckScheduler::RoundKey(const AccountRecord& record) {
  // The seen-message file name is given once and kept through renames.
  if (!record.UidlFileName.Empty()) return "u" + std::string(record.UidlFileName.View());
  return "n" + std::string(record.AccountName.View());
}

bool CheckScheduler::InRound(const AccountRecord& record) const {
  if (round_.empty()) return false;
  return std::find(round_.begin(), round_.end(), RoundKey(record)) != round_.end();
}

std::optional<std::uint64_t> CheckScheduler::RoundDueAt() const {
  if (round_.empty()) return std::nullopt;
  return std::max(roundNextAt_, roundWaitsUntil_);
}

bool CheckScheduler::Due(std::size_t index, std::uint64_t now) const {
  const AccountRecord& record = table_[index];
  if (!record.IsEnabled() || !HasInterval(record)) return false;
  if (InRound(record)) return now >= *RoundDueAt();
  return record.Elapsed >= record.Interval;
}

void CheckScheduler::TimerTimer() {
  if (!counting_ || host_.EditorOpen()) return;
  Count();
  // Accounts of the round that are gone (or no longer checked) leave it.
  std::erase_if(round_, [this](const std::string& key) {
    for (const AccountRecord& record : table_.Walk()) {
      if (RoundKey(record) == key) return !record.IsEnabled() || !HasInterval(record);
    }
    return true;
  });

  const std::size_t count = table_.Count();
  const std::size_t start = lastChecked_ && *lastChecked_ + 1 < count ? *lastChecked_ + 1 : 0;
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t index = (start + step) % count;
    // A check may have reloaded a shorter table.
    if (index >= table_.Count()) break;
    host_.ClearProtocolTrace();
    if (!Due(index, clock_())) continue;
    const std::string key = RoundKey(table_[index]);
    lastChecked_ = index;
    const CheckOutcome outcome = check_(index);
    Checked(index, key);
    if (outcome == CheckOutcome::MethodDiscovered && index < table_.Count()) {
      // The account's mail is looked for right away, not an interval later
      // (once: only when the method it found is stored).
      AccountRecord& record = table_[index];
      if (RoundKey(record) == key && !record.AuthMethod.Empty() && HasInterval(record)) {
        record.Elapsed = record.Interval;
      }
    }
    if (!counting_ || host_.EditorOpen() || !NotReached(outcome)) break;
  }
}

void CheckScheduler::Checked(std::size_t index, const std::string& key) {
  const bool ended = index < table_.Count() && table_[index].Elapsed == 0;
  Count();
  // The account's own interval begins when its check ended.
  if (ended && RoundKey(table_[index]) == key) table_[index].Elapsed = 0;
  const auto member = std::find(round_.begin(), round_.end(), key);
  if (member != round_.end()) {
    round_.erase(member);
    roundNextAt_ = clock_() + kRoundSpacingMs;
  }
  if (round_.empty()) roundWaitsUntil_ = 0;
}

std::optional<std::uint64_t> CheckScheduler::WaitMs() const {
  if (!counting_) return std::nullopt;
  const std::uint64_t now = clock_();
  const std::uint64_t carried = now > countedUpTo_ ? now - countedUpTo_ : 0;
  std::optional<std::uint64_t> wait;
  auto consider = [&wait](std::uint64_t ms) { wait = wait ? std::min(*wait, ms) : ms; };
  bool roundMember = false;
  for (const AccountRecord& record : table_.Walk()) {
    if (!record.IsEnabled() || !HasInterval(record)) continue;
    if (InRound(record)) {
      roundMember = true;
      continue;
    }
    const std::int64_t seconds = std::int64_t{record.Interval} - record.Elapsed;
    const std::uint64_t ms = seconds <= 0 ? 0 : static_cast<std::uint64_t>(seconds) * 1000;
    consider(ms > carried ? ms - carried : 0);
  }
  if (roundMember) {
    const std::uint64_t at = *RoundDueAt();
    consider(at > now ? at - now : 0);
  }
  return wait;
}

void CheckScheduler::CheckSoon(std::size_t index) {
  if (index >= table_.Count()) return;
  AccountRecord& record = table_[index];
  std::erase(round_, RoundKey(record));
  if (HasInterval(record)) record.Elapsed = std::max(record.Elapsed, record.Interval);
}

void CheckScheduler::StartRound(bool waitForNetwork) {
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < table_.Count(); ++i) all.push_back(i);
  AddToRound(all, waitForNetwork);
}

void CheckScheduler::AddToRound(const std::vector<std::size_t>& indices, bool waitForNetwork) {
  const std::uint64_t now = clock_();
  if (round_.empty()) roundNextAt_ = now;
  for (const std::size_t index : indices) {
    if (index >= table_.Count()) continue;
    const AccountRecord& record = table_[index];
    if (!record.IsEnabled() || !HasInterval(record) || InRound(record)) continue;
    round_.push_back(RoundKey(record));
  }
  if (waitForNetwork && !round_.empty()) roundWaitsUntil_ = now + kNetworkWaitMs;
}

void CheckScheduler::NetworkUsable() { roundWaitsUntil_ = 0; }

}  // namespace corvel
