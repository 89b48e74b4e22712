// The check cycle: one check of an account — connect, log in with the
// remembered method (or find one), tell new mail from seen mail, report it,
// log out. Every step goes to the activity log under the account's name. The
// check speaks to the server only through a mailbox session (mailbox.h): POP3
// over the shared client unless a chooser names another session for the
// account. When each account is checked is CheckScheduler's
// (checker/check_scheduler.h).
//
// A check runs on the owner's thread inside the tick; the session's blocking
// calls keep the event loop running while they wait, so the window, the tray
// and the editor stay usable during a check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "accounts/account_table.h"
#include "checker/check_host.h"
#include "checker/login_secret.h"
#include "checker/mailbox.h"
#include "checker/new_mail_list.h"
#include "checker/pop3_mailbox.h"
#include "checker/seen_list.h"
#include "pop3/sync_pop3_client.h"

namespace corvel {

// How a check of an account ended, for the front-ends.
struct CheckReport {
  std::string account;
  CheckOutcome outcome = CheckOutcome::Checked;
  // Why a failed check failed, from what the client knows: the socket's
  // error, the server's own refusal text, the TLS failure, with a hint where
  // one is plain. Empty when the check did not fail.
  std::string reason;
  // The new mail reported by this check.
  std::int64_t newCount = 0;
  std::int64_t newBytes = 0;
};

// Which detection found the news.
enum class DetectionKind { SeenList, WholeMailbox };

class MailChecker : private MailboxCheck {
 public:
  MailChecker(AccountTable& table, SyncPop3Client& pop3, SeenList& seenList, NewMailList& mailList,
              WindowFlags& flags, CheckHost& host);

  // One check of the account at `index`, ending with FinishCheck on every path.
  // Errors of a check (a seen-message file that cannot be written) leave it
  // after the logout step; the caller shows them.
  CheckOutcome CheckAccount(std::size_t index);
  // The report of the last check that ended (also handed to the host).
  [[nodiscard]] const CheckReport& LastReport() const { return report_; }

  // Where the secrets come from; without a source (or with null) only
  // passwords kept in the accounts file can be used.
  void SetSecretSource(SecretSource* source) { secretSource_ = source; }

  // Which session checks an account: the chooser's answer, or the POP3
  // session over the shared client when there is no chooser or it answers
  // null. The session must outlive the checker's use of it.
  using SessionChooser = std::function<MailboxSession*(const AccountRecord& record)>;
  void SetSessionChooser(SessionChooser chooser) { chooser_ = std::move(chooser); }

  // The table was emptied or reloaded (the editor closed) while a check may be
  // running: that check must not write into the record that now sits at its
  // index, which may be another account.
  void TableReloaded() { ++tableGeneration_; }

  // The most a check's listing may hold (see kMaxListingEntries).
  struct ListingBounds {
    std::size_t entries = kMaxListingEntries;
    std::uint64_t bytes = kMaxListingBytes;
  };
  void SetListingBounds(ListingBounds bounds) { listingBounds_ = bounds; }

  // The new-mail presentation, also used by the window's handlers.
  void PrepareMailList();
  // A message's row, listed once per account and identifier; rawFrom and
  // rawSubject: the header values as received, kept beside the decoded ones
  // for display.
  void AddMailRow(std::string_view account, std::string_view from, std::string_view subject,
                  std::string_view date, std::int64_t size, std::string_view uidl,
                  std::string_view rawFrom = {}, std::string_view rawSubject = {});
  // The account's overview row, moved to the end with the time of the report.
  void AddOverviewRow(std::string_view account, std::string_view subject, std::int64_t size);
  void ReportNewMail(std::string_view account, std::int64_t count, std::int64_t bytes,
                     DetectionKind kind);

 private:
  // What a seen-list detection has found so far.
  struct Tally {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
  };

  // MailboxCheck: what the session of the running check needs.
  void Log(std::string_view message) override;
  void RememberAuthMethod(std::string_view method) override;
  void TokenRefused() override;

  // Connects, logs in and looks for mail; the caller ends the check.
  CheckOutcome ConnectAndCheck(std::size_t index);
  // The secret of the account being checked; false (after its log line)
  // when the check must not connect.
  bool PrepareLogin(const AccountRecord& record);
  void DetectNewMail(std::size_t index);
  void DetectWithSeenList(std::size_t index);
  // The new messages of the listing, their sizes, and their rows with "Show
  // me all the new mail"; the identifiers of those reported are appended to
  // the seen list. How the listing ended.
  ListingEnd DetectFromListing(Tally& tally);
  void DetectWholeMailbox(const MailboxStats& stats);
  // The rows of the entries, from their headers; onRow(i) as the row of
  // entries[i] is added. False when the session cannot go on.
  bool ShowMessages(std::span<const MailboxEntry> entries,
                    const std::function<void(std::size_t)>& onRow);
  // The check ended before the mailbox was examined whole: why, logged.
  void EndEarly(ListingEnd end);
  // Bounds the rest of the check by its deadline.
  void LimitCheckTime();
  void FinishCheck(std::size_t index);
  // FinishCheck, then the report of a check that ended this way.
  CheckOutcome EndCheck(std::size_t index, CheckOutcome outcome);

  // The record at `index`, or nullptr when the table was reloaded since the
  // check began.
  AccountRecord* CheckedRecord(std::size_t index);
  // A header value decoded for display; a value the decoder refuses is shown
  // as received rather than ending the check.
  static std::string DisplayHeader(std::string_view raw);

  AccountTable& table_;
  Pop3Mailbox pop3Session_;
  SeenList& seenList_;
  NewMailList& mailList_;
  WindowFlags& flags_;
  CheckHost& host_;
  SecretSource* secretSource_ = nullptr;
  SessionChooser chooser_;

  std::uint64_t tableGeneration_ = 0;
  std::uint64_t checkGeneration_ = 0;
  // The account being checked, as it was when the check began.
  std::size_t index_ = 0;
  std::string name_;
  std::string server_;
  MailboxSession* session_ = &pop3Session_;
  CheckReport report_;
  // Why the running check ended before the mailbox was examined whole.
  std::string endedEarly_;
  ListingBounds listingBounds_;
};

}  // namespace corvel
