#include "checker/mail_checker.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "accounts/file_io.h"
#include "codec/ascii.h"
#include "codec/exception.h"
#include "codec/header_decode.h"

namespace corvel {

namespace {

// The silence a check's deadline is measured in when the client has none.
constexpr std::int64_t kDefaultPop3Timeout = 15;
// A check's default deadline, in silences of the time-out.
constexpr std::int64_t kDeadlineInTimeouts = 40;

// A seen-message file name Corvel could have given: a bare name in the
// working directory that ends in ".uidl", so that it names no other file of
// the program (the accounts file, the OAuth2 file, the settings, a lock or a
// temporary file) and no device. A damaged or edited accounts file must not
// make a check write its seen list over one of those.
bool IsSeenFileName(std::string_view name) {
  constexpr std::string_view kSuffix = ".uidl";
  if (name.size() <= kSuffix.size() ||
      !EqualsIgnoreAsciiCase(name.substr(name.size() - kSuffix.size()), kSuffix)) {
    return false;
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    // Separators, characters no Windows file name may hold, control bytes.
    if (byte < 0x20 || byte == 0x7F ||
        std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  // Windows opens a device for these names, whatever the extension.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (const std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoreAsciiCase(stem, device)) return false;
  }
  if (stem.size() == 4 && (EqualsIgnoreAsciiCase(stem.substr(0, 3), "COM") ||
                           EqualsIgnoreAsciiCase(stem.substr(0, 3), "LPT"))) {
    const auto digit = static_cast<unsigned char>(stem[3]);
    // COM0 to COM9, and COM with the superscript digits one to three of the
    // ANSI code page.
    if ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
      return false;
    }
  }
  return true;
}

std::string Concat(std::string_view a, std::string_view b) {
  std::string s(a);
  s += b;
  return s;
}

// What a check that ended early reports, and logs, given why it ended.
std::string EndedEarlyReason(std::string_view why) {
  return Concat("the check ended early: ", why);
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
  endedEarly_.clear();

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
    report_.reason = std::move(reason);
    return CheckOutcome::ConnectFailed;
  }
  host_.WriteLog(name_, Concat("Connected to ", server_));

  const CheckOutcome outcome = session_->LogIn(report_.reason);
  if (outcome != CheckOutcome::Checked) return outcome;
  DetectNewMail(index);
  if (endedEarly_.empty()) return CheckOutcome::Checked;
  report_.reason = EndedEarlyReason(endedEarly_);
  return CheckOutcome::EndedEarly;
}

CheckOutcome MailChecker::EndCheck(std::size_t index, CheckOutcome outcome) {
  report_.outcome = outcome;
  if (!CheckFailed(outcome)) report_.reason.clear();
  host_.CheckEnding(report_);
  FinishCheck(index);
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
    endedEarly_ = "the server did not tell the mailbox's size: " + session_->FailureReason();
    return;
  }
  if (stats.count == 0) {
    host_.WriteLog(name_, "No messages, quitting...");
    return;
  }
  LimitCheckTime();
  if (table_[index].LeavesMailOnServer()) {
    DetectWithSeenList(index);
  } else {
    DetectWholeMailbox(stats);
  }
}

void MailChecker::LimitCheckTime() {
  std::int64_t seconds = host_.CheckDeadlineSeconds();
  if (seconds <= 0) {
    // Generous, and whatever size the server claims for the mailbox: a
    // check's silences may add up to forty time-outs (ten minutes at 15 s),
    // far beyond what listing a large mailbox takes.
    const std::int64_t timeout =
        session_->Timeout() > 0 ? session_->Timeout() : kDefaultPop3Timeout;
    seconds = kDeadlineInTimeouts * timeout;
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

bool MailChecker::ShowMessages(std::span<const MailboxEntry> entries,
                               const std::function<void(std::size_t)>& onRow) {
  return session_->FetchHeaders(entries, [&](std::size_t i, const MessageHeaders& headers) {
    AddMailRow(name_, DisplayHeader(headers.from), DisplayHeader(headers.subject), headers.date,
               entries[i].size, entries[i].id, headers.from, headers.subject);
    if (onRow) onRow(i);
    // The box is read as each row is added: unticked meanwhile, no more rows.
    return host_.OptionChecked(CheckOption::AllMail);
  });
}

void MailChecker::EndEarly(ListingEnd end) {
  if (end == ListingEnd::kTooLarge) {
    endedEarly_ = "the server's listing goes beyond " + std::to_string(listingBounds_.entries) +
                  " messages or " + std::to_string(listingBounds_.bytes) + " bytes of identifiers";
  } else {
    endedEarly_ = session_->FailureReason();
  }
  // The reason the check reports, as it is: the log then tells it once.
  host_.WriteLog(name_, EndedEarlyReason(endedEarly_));
}

void MailChecker::DetectWithSeenList(std::size_t index) {
  std::string fileName = table_[index].PlainUidlFileName();
  if (!IsSeenFileName(fileName)) {
    // An account stored without a usable seen-message file name (the editor
    // always gives one; a damaged accounts file may hold none, a path that
    // leads out of the working directory, or the name of another file): name
    // it now, as the editor would, so its mail is still told apart; the name
    // reaches the accounts file with the next save.
    fileName = MakeUidlFileName(name_, host_.TickCount());
    if (AccountRecord* record = CheckedRecord(index)) record->SetPlainUidlFileName(fileName);
    host_.WriteLog(name_, "The seen-message file name was not one of Corvel's; now " + fileName);
  }
  const std::filesystem::path path(fileName);
  CreateFileIfMissing(path);
  const std::string seenText = ReadWholeFile(path);
  if (session_->UnchangedSince(
          [&seenText](std::string_view entry) { return SeenList::TextHolds(seenText, entry); })) {
    host_.WriteLog(name_, "No messages, quitting...");
    return;
  }
  seenList_.SetText(seenText);

  Tally tally;
  const ListingEnd end = DetectFromListing(tally);

  seenList_.MergeIntoFile(path);
  seenList_.Clear();
  if (tally.count > 0) ReportNewMail(name_, tally.count, tally.bytes, DetectionKind::SeenList);
  if (end != ListingEnd::kComplete) {
    EndEarly(end);
  } else if (tally.count == 0) {
    host_.WriteLog(name_, "No messages, quitting...");
  }
}

ListingEnd MailChecker::DetectFromListing(Tally& tally) {
  ListingRequest request{host_.FastListing(), false, &seenList_};
  request.maxEntries = listingBounds_.entries;
  request.maxBytes = listingBounds_.bytes;
  session_->BeginListing(request);
  // An identifier is recorded once the message has been reported: as its
  // row is added, or, for messages listed without a row, once the whole
  // listing has come (the count is final). A check that ends before leaves
  // the rest to the next check, which finds them new again.
  auto record = [&](const MailboxEntry& entry) {
    seenList_.Append(entry.id);
    ++tally.count;
    tally.bytes += entry.size;
  };
  std::unordered_set<std::string> listed;  // the identifiers of this listing
  std::vector<MailboxEntry> counted;       // new, no row asked: recorded at the end
  std::vector<MailboxEntry> batch;
  std::vector<MailboxEntry> news;
  bool prepared = false;
  ListingEnd end = ListingEnd::kMore;
  while (end == ListingEnd::kMore) {
    end = session_->NextBatch(batch);
    if (end != ListingEnd::kMore && end != ListingEnd::kComplete) break;
    news.clear();
    for (MailboxEntry& entry : batch) {
      // The same identifier twice: the first message is new, the second
      // then seen.
      if (seenList_.Contains(entry.id) || !listed.insert(entry.id).second) continue;
      if (entry.recordOnly) {
        seenList_.Append(entry.id);
      } else {
        news.push_back(std::move(entry));
      }
    }
    if (news.empty()) continue;
    if (!prepared) PrepareMailList();
    prepared = true;
    if (!session_->FetchSizes(news)) {
      end = ListingEnd::kCut;
      break;
    }
    if (!host_.OptionChecked(CheckOption::AllMail)) {
      counted.insert(counted.end(), news.begin(), news.end());
      continue;
    }
    std::vector<bool> shown(news.size(), false);
    const bool goesOn = ShowMessages(news, [&](std::size_t i) {
      shown[i] = true;
      record(news[i]);
    });
    if (!goesOn) {
      end = ListingEnd::kCut;
      break;
    }
    // Unticked meanwhile: the rest is counted as without the box. A message
    // whose header the server refused stays new.
    if (host_.OptionChecked(CheckOption::AllMail)) continue;
    for (std::size_t i = 0; i < news.size(); ++i) {
      if (!shown[i]) counted.push_back(std::move(news[i]));
    }
  }
  if (end == ListingEnd::kComplete) {
    for (const MailboxEntry& entry : counted) record(entry);
    // A message whose header the server refused stays new: the listing is
    // not recorded whole, and the next check lists it again.
    if (std::ranges::all_of(listed,
                            [this](const std::string& id) { return seenList_.Contains(id); })) {
      for (std::string& entry : session_->WholeListingEntries()) {
        if (!seenList_.Contains(entry)) seenList_.Append(std::move(entry));
      }
    }
  }
  return end;
}

void MailChecker::DetectWholeMailbox(const MailboxStats& stats) {
  PrepareMailList();
  ListingEnd end = ListingEnd::kComplete;
  if (host_.OptionChecked(CheckOption::AllMail)) {
    ListingRequest request{host_.FastListing(), true, nullptr};
    request.maxEntries = listingBounds_.entries;
    request.maxBytes = listingBounds_.bytes;
    session_->BeginListing(request);
    std::vector<MailboxEntry> batch;
    end = ListingEnd::kMore;
    while (end == ListingEnd::kMore) {
      end = session_->NextBatch(batch);
      if (end != ListingEnd::kMore && end != ListingEnd::kComplete) break;
      if (!batch.empty() && !ShowMessages(batch, nullptr)) end = ListingEnd::kCut;
    }
  }
  ReportNewMail(name_, stats.count, stats.bytes, DetectionKind::WholeMailbox);
  if (end != ListingEnd::kComplete) EndEarly(end);
}

void MailChecker::PrepareMailList() {
  if (!flags_.NewMailPending) mailList_.Clear();
}

void MailChecker::AddMailRow(std::string_view account, std::string_view from,
                             std::string_view subject, std::string_view date, std::int64_t size,
                             std::string_view uidl, std::string_view rawFrom,
                             std::string_view rawSubject) {
  if (mailList_.Holds(account, uidl)) return;
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
