#include "checker/mail_checker.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "accounts/file_io.h"
#include "codec/exception.h"
#include "codec/header_decode.h"

namespace corvel {

namespace {

// The silence a check's deadline is measured in when the client has none.
constexpr std::int64_t kDefaultPop3Timeout = 15;

// A name of a file in the working directory, and nothing else.
bool IsBareFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

std::string Concat(std::string_view a, std::string_view b) {
  std::string s(a);
  s += b;
  return s;
}

}  // namespace

bool CheckFailed(CheckOutcome outcome) {
  return outcome != CheckOutcome::Checked && outcome != CheckOutcome::MethodDiscovered;
}

MailChecker::MailChecker(AccountTable& table, SyncPop3Client& pop3, SeenList& seenList,
                         NewMailList& mailList, WindowFlags& flags, CheckHost& host)
    : table_(table),
      pop3Session_(pop3),
      seenList_(seenList),
      mailList_(mailList),
      flags_(flags),
      host_(host) {}

void MailChecker::TimerTimer() {
  if (host_.EditorOpen()) return;
  host_.SetCheckTimerEnabled(false);
  for (std::size_t i = 0; i < AccountTable::kCapacity; ++i) {
    AccountRecord& record = table_[i];
    if (record.Password.Empty()) break;
    host_.ClearProtocolTrace();
    if (!record.IsEnabled()) continue;
    // Counted in unsigned arithmetic: an interval below 1 is never reached,
    // and the count must not overflow into undefined behaviour meanwhile.
    record.Elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(record.Elapsed) + 1u);
    if (record.Elapsed != record.Interval) continue;
    const CheckOutcome outcome = CheckAccount(i);
    if (outcome != CheckOutcome::ConnectFailed && outcome != CheckOutcome::ReconnectFailed &&
        outcome != CheckOutcome::NotAttempted) {
      break;
    }
  }
  host_.SetCheckTimerEnabled(true);
}

AccountRecord* MailChecker::CheckedRecord(std::size_t index) {
  if (checkGeneration_ != tableGeneration_ || index >= AccountTable::kCapacity) return nullptr;
  return &table_[index];
}

CheckOutcome MailChecker::CheckAccount(std::size_t index) {
  checkGeneration_ = tableGeneration_;
  const AccountRecord& record = table_[index];
  index_ = index;
  name_ = record.PlainAccountName();
  server_ = record.PlainServer();
  report_ = CheckReport{};
  report_.account = name_;

  MailboxSession* chosen = chooser_ ? chooser_(record) : nullptr;
  session_ = chosen != nullptr ? chosen : &pop3Session_;
  session_->Begin(record, *this);

  CheckOutcome outcome = CheckOutcome::Checked;
  try {
    if (PrepareLogin(record)) {
      outcome = ConnectAndCheck(index);
    } else {
      outcome = CheckOutcome::NotAttempted;
    }
  } catch (...) {
    FinishCheck(index);
    throw;
  }
  return EndCheck(index, outcome);
}

CheckOutcome MailChecker::ConnectAndCheck(std::size_t index) {
  host_.WriteLog(name_, Concat("Trying to connect to ", server_));
  std::string reason;
  if (!session_->Connect(reason)) {
    if (flags_.ConnErrorArmed && host_.OptionChecked(CheckOption::ConnErr)) {
      host_.BalloonNotify("Connection error!", Concat("Unable to connect to ", server_),
                          kBalloonError, 15);
      flags_.ConnErrorArmed = false;
    }
    report_.reason = std::move(reason);
    return CheckOutcome::ConnectFailed;
  }
  host_.WriteLog(name_, Concat("Connected to ", server_));
  flags_.ConnErrorArmed = true;

  const CheckOutcome outcome = session_->LogIn(report_.reason);
  if (outcome == CheckOutcome::Checked) DetectNewMail(index);
  return outcome;
}

CheckOutcome MailChecker::EndCheck(std::size_t index, CheckOutcome outcome) {
  FinishCheck(index);
  report_.outcome = outcome;
  if (!CheckFailed(outcome)) report_.reason.clear();
  host_.CheckFinished(report_);
  return outcome;
}

LoginSecret FileLoginSecret(const AccountRecord& record) {
  if (record.Login() == LoginKind::loginPassword && record.SecretIn() == SecretPlace::secretFile) {
    return {true, record.PlainPassword(), {}};
  }
  return {false, {}, "No way to get this account's secret here"};
}

bool MailChecker::PrepareLogin(const AccountRecord& record) {
  if (record.UsesOAuth() && !session_->Protected()) {
    // A bearer token lets anyone who reads it into the mailbox: it goes only
    // into a TLS session (from the first byte, or after STARTTLS).
    report_.reason =
        "Not connecting: an OAuth2 token is sent only over TLS (security tls or starttls)";
    host_.WriteLog(name_, report_.reason);
    return false;
  }
  LoginSecret secret =
      secretSource_ != nullptr ? secretSource_->LoginSecretOf(record) : FileLoginSecret(record);
  if (!secret.ok) {
    report_.reason = secret.reason;
    host_.WriteLog(name_, secret.reason);
    return false;
  }
  session_->SetSecret(std::move(secret.secret));
  return true;
}

void MailChecker::FinishCheck(std::size_t index) {
  session_->LogOut();
  if (AccountRecord* record = CheckedRecord(index)) record->Elapsed = 0;
  host_.WriteLog(name_, "Logged out from " + server_ + "...");
}

void MailChecker::Log(std::string_view message) { host_.WriteLog(name_, message); }

void MailChecker::RememberAuthMethod(std::string_view method) {
  if (AccountRecord* record = CheckedRecord(index_)) record->SetPlainAuthMethod(method);
  host_.WriteLog(name_, "Saving AUTH type and logging out...");
}

void MailChecker::TokenRefused() {
  const AccountRecord* record = CheckedRecord(index_);
  if (secretSource_ != nullptr && record != nullptr) secretSource_->LoginRefused(*record);
}

void MailChecker::DetectNewMail(std::size_t index) {
  MailboxStats stats;
  if (!session_->Stat(stats)) {
    host_.WriteLog(name_, "Unable to get stats...");
    return;
  }
  if (stats.count == 0) {
    host_.WriteLog(name_, "No messages, quitting...");
    return;
  }
  LimitCheckTime(stats.count);
  if (table_[index].LeavesMailOnServer()) {
    DetectWithSeenList(index);
  } else {
    DetectWholeMailbox(stats);
  }
}

void MailChecker::LimitCheckTime(std::int64_t messageCount) {
  std::int64_t seconds = host_.CheckDeadlineSeconds();
  if (seconds <= 0) {
    // Generous: four silences as long as the time-out, and a fifth of one
    // for every message on the server.
    const std::int64_t timeout =
        session_->Timeout() > 0 ? session_->Timeout() : kDefaultPop3Timeout;
    seconds = 4 * timeout + timeout * std::max<std::int64_t>(messageCount, 0) / 5;
  }
  session_->LimitTotalTime(static_cast<std::uint64_t>(seconds) * 1000u);
}

std::string MailChecker::DisplayHeader(std::string_view raw) {
  try {
    return DecodeHeaderValue(raw);
  } catch (const ConvertException&) {
    // A stranger's malformed encoded word must not stop the checking: the
    // value is shown as it came.
    return std::string(raw);
  }
}

void MailChecker::ShowMessages(std::span<const MailboxEntry> entries) {
  session_->FetchHeaders(entries, [&](std::size_t i, const MessageHeaders& headers) {
    AddMailRow(name_, DisplayHeader(headers.from), DisplayHeader(headers.subject), headers.date,
               entries[i].size, entries[i].id, headers.from, headers.subject);
    // The box is read as each row is added: unticked meanwhile, no more rows.
    return host_.OptionChecked(CheckOption::AllMail);
  });
}

void MailChecker::DetectWithSeenList(std::size_t index) {
  std::string fileName = table_[index].PlainUidlFileName();
  if (!IsBareFileName(fileName)) {
    // An account stored without a usable seen-message file name (the editor
    // always gives one; a damaged accounts file may hold none, or a path that
    // leads out of the working directory): name it now, as the editor would,
    // so its mail is still told apart; the name reaches the accounts file
    // with the next save.
    fileName = MakeUidlFileName(name_, host_.TickCount());
    if (AccountRecord* record = CheckedRecord(index)) record->SetPlainUidlFileName(fileName);
  }
  const std::filesystem::path path(fileName);
  CreateFileIfMissing(path);
  seenList_.LoadFromFile(path);

  Tally tally;
  DetectFromListing(tally);

  seenList_.MergeIntoFile(path);
  seenList_.Clear();
  if (tally.count == 0) {
    host_.WriteLog(name_, "No messages, quitting...");
    return;
  }
  ReportNewMail(name_, tally.count, tally.bytes, DetectionKind::SeenList);
}

void MailChecker::DetectFromListing(Tally& tally) {
  session_->BeginListing(ListingRequest{host_.FastListing(), false, &seenList_});
  std::vector<MailboxEntry> batch;
  std::vector<MailboxEntry> news;
  ListingEnd end = ListingEnd::kMore;
  while (end == ListingEnd::kMore) {
    end = session_->NextBatch(batch);
    news.clear();
    for (MailboxEntry& entry : batch) {
      // The same identifier twice: the first message is new, the second
      // then seen.
      if (seenList_.Contains(entry.id)) continue;
      seenList_.Append(entry.id);
      if (!entry.recordOnly) news.push_back(std::move(entry));
    }
    if (news.empty()) continue;
    if (tally.count == 0) PrepareMailList();
    tally.count += static_cast<std::int64_t>(news.size());
    session_->FetchSizes(news);
    for (const MailboxEntry& entry : news) tally.bytes += entry.size;
    if (host_.OptionChecked(CheckOption::AllMail)) ShowMessages(news);
  }
}

void MailChecker::DetectWholeMailbox(const MailboxStats& stats) {
  PrepareMailList();
  if (host_.OptionChecked(CheckOption::AllMail)) {
    session_->BeginListing(ListingRequest{host_.FastListing(), true, nullptr});
    std::vector<MailboxEntry> batch;
    ListingEnd end = ListingEnd::kMore;
    while (end == ListingEnd::kMore) {
      end = session_->NextBatch(batch);
      if (!batch.empty()) ShowMessages(batch);
    }
  }
  ReportNewMail(name_, stats.count, stats.bytes, DetectionKind::WholeMailbox);
}

void MailChecker::PrepareMailList() {
  if (!flags_.NewMailPending) mailList_.Clear();
}

void MailChecker::AddMailRow(std::string_view account, std::string_view from,
                             std::string_view subject, std::string_view date, std::int64_t size,
                             std::string_view uidl, std::string_view rawFrom,
                             std::string_view rawSubject) {
  for (const MailRow& row : mailList_.Rows()) {
    if (row.account == account && row.uidl == uidl) return;
  }
  mailList_.Append(MailRow{std::string(account), std::string(from), std::string(subject),
                           std::string(date), std::to_string(size), std::string(uidl),
                           std::string(rawFrom), std::string(rawSubject)});
}

void MailChecker::AddOverviewRow(std::string_view account, std::string_view subject,
                                 std::int64_t size) {
  const auto& rows = mailList_.Rows();
  std::size_t found = rows.size();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].account == account) {
      found = i;
      break;
    }
  }
  mailList_.Append(MailRow{std::string(account),
                           "",
                           std::string(subject),
                           host_.NowDateTimeText(),
                           std::to_string(size),
                           "",
                           {},
                           {}});
  if (found < mailList_.Count() - 1) mailList_.Delete(found);
}

void MailChecker::ReportNewMail(std::string_view account, std::int64_t count, std::int64_t bytes,
                                DetectionKind kind) {
  if (!host_.OptionChecked(CheckOption::AllMail)) {
    if (kind == DetectionKind::SeenList) PrepareMailList();
    AddOverviewRow(account, count == 1 ? "One new mail!" : std::to_string(count) + " new mails!",
                   bytes);
  }
  const std::string countText = std::to_string(count) + " new mails!";
  const std::string bytesText = " (" + std::to_string(bytes) + " bytes)";
  const std::string logLine = kind == DetectionKind::SeenList ? countText + bytesText : countText;
  host_.WriteLog(account, logLine);
  report_.newCount = count;
  report_.newBytes = bytes;
  if (host_.OptionChecked(CheckOption::Balloon) && !host_.AccountQuiet(account)) {
    const std::string text = kind == DetectionKind::SeenList ? logLine
                                                             : "You have " + std::to_string(count) +
                                                                   " new messages!" + bytesText;
    host_.BalloonNotify(Concat("New mail on ", account), text, kBalloonInfo, 15);
  }
  flags_.NewMailPending = true;
  if (flags_.WindowInTray) host_.SetMailAnimation(true);
}

}  // namespace corvel
