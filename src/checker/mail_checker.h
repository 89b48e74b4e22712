// The check cycle: one check of an account — connect, log in with the
// remembered method (or find one), tell new mail from seen mail, report it,
// log out. Every step goes to the activity log under the account's name. When
// each account is checked is CheckScheduler's (checker/check_scheduler.h).
//
// A check runs on the owner's thread inside the tick; the blocking POP3 calls
// keep the event loop running while they wait, so the window, the tray and the
// editor stay usable during a check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "accounts/account_table.h"
#include "checker/check_host.h"
#include "checker/login_secret.h"
#include "checker/new_mail_list.h"
#include "checker/seen_list.h"
#include "pop3/sync_pop3_client.h"

namespace corvel {

// How one check of an account ended.
enum class CheckOutcome {
  ConnectFailed,     // the server was not reached
  ReconnectFailed,   // reached, but the reconnection after a refused APOP failed
  MethodDiscovered,  // a login method was found and stored; no mail looked for
  NoMethodFound,     // the discovery found no method that works
  LoginFailed,       // the stored method was refused
  Checked,           // logged in and the mailbox examined (or STAT refused)
  TlsFailed,         // reached, but STARTTLS was refused or its handshake failed
  NotAttempted,      // not connected: no secret to log in with, or OAuth2 without TLS
};

// Whether the account could not be checked: not reached, not protected, or
// not logged in to.
[[nodiscard]] bool CheckFailed(CheckOutcome outcome);

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

// An account's security mode (byte 203 of its record).
inline constexpr std::uint8_t kSecurityAuto = 0;      // plain, but TLS on port 995
inline constexpr std::uint8_t kSecurityStartTls = 1;  // STLS required after connecting
inline constexpr std::uint8_t kSecurityTls = 2;       // TLS from the first byte, any port

// The port on which POP3 is spoken over TLS from the first byte (RFC 8314).
inline constexpr std::int32_t kPop3sPort = 995;

// How the connection of an account with this mode and port begins.
[[nodiscard]] SocketTlsMode TlsModeFor(std::uint8_t securityMode, std::int32_t port);

// Which detection found the news.
enum class DetectionKind { SeenList, WholeMailbox };

class MailChecker {
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

  // The table was emptied or reloaded (the editor closed) while a check may be
  // running: that check must not write into the record that now sits at its
  // index, which may be another account.
  void TableReloaded() { ++tableGeneration_; }

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
  // Connects, protects, logs in and looks for mail; the caller ends the check.
  CheckOutcome ConnectAndCheck(std::size_t index, const std::string& authMethod);
  // Returns false when the reconnection after a refused APOP failed.
  bool DiscoverAuthMethod(std::size_t index, CheckOutcome& outcome);
  bool LoginStored(std::size_t index);
  // What a seen-list detection has found so far.
  struct Tally {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
  };
  // How a listing (UIDL or LIST without a number) went.
  enum class ListingEnd {
    kComplete,  // every line up to the end
    kCut,       // the connection ended it; the lines before are good
    kUnusable,  // refused, or a line out of order: the per-message commands are needed
  };

  // The discovery of an OAuth2 account: OAUTHBEARER, then XOAUTH2.
  void DiscoverOAuthMethod(std::size_t index, CheckOutcome& outcome);
  // After a refused OAuth2 login: what the server said, when it said anything.
  void LogServerAnswer();
  // The check's reason after the OAuth2 login `methods` was refused; the
  // secret source forgets the token.
  void OAuthLoginRefused(std::size_t index, std::string_view methods);
  // The secret of the account being checked; false (after its log line)
  // when the check must not connect.
  bool PrepareLogin(const AccountRecord& record);
  void DetectNewMail(std::size_t index);
  void DetectWithSeenList(std::size_t index);
  // The new messages from the identifier listing; false, with nothing
  // changed, when the listing cannot be used.
  bool DetectFromListings(Tally& tally);
  // The new messages with one UIDL command per message, then LIST and TOP
  // for each new one.
  void DetectOneByOne(Tally& tally);
  void DetectWholeMailbox();
  // Rows for every message of a whole-mailbox detection.
  void ShowWholeMailbox(std::int32_t messageCount);
  // "UIDL" (identifiers) or "LIST" without a number; `onLine` gets the
  // message number of each line, with MsgUidl or MsgSize set, in ascending
  // order.
  ListingEnd ReadListing(bool identifiers, const std::function<void(std::int32_t)>& onLine);
  // TOP n 1 and the message's row, with "Show me all the new mail"; true
  // when the header came.
  bool ShowMessage(std::int32_t n, std::int32_t size, std::string_view uidl);
  // A message a detection shows with "Show me all the new mail".
  struct ShownMessage {
    std::int32_t number;
    std::int32_t size;
    std::string_view uidl;
  };
  // The rows of `count` messages, message(i) telling the i-th, in message
  // order: their TOP commands pipelined when there are several and the
  // server announces PIPELINING, one after another otherwise.
  void ShowMessages(std::size_t count, const std::function<ShownMessage(std::size_t)>& message);
  // Whether the server takes pipelined commands; CAPA is asked once per
  // connection, and any failure of it means no.
  bool ServerPipelines();
  // The row of a message from the TOP answer the client holds.
  void AddShownRow(const ShownMessage& message);
  // Bounds the rest of the check by its deadline.
  void LimitCheckTime();
  void FinishCheck(std::size_t index);
  // FinishCheck, then the report of a check that ended this way.
  CheckOutcome EndCheck(std::size_t index, CheckOutcome outcome);
  // Why the connection could not be made (or protected, for `tls`).
  [[nodiscard]] std::string ConnectFailureReason(const std::string& tls) const;
  // The server's refusal text, or what ended the request instead.
  [[nodiscard]] std::string ServerAnswer() const;
  // STLS on the fresh connection of a STARTTLS account; false (after its log
  // line) when the connection is not protected afterwards.
  bool StartTlsIfRequired();
  // Logs "TLS failed: " + why when the last request failed for TLS, and
  // returns why (empty for any other failure).
  std::string LogTlsFailure(bool startTls);

  void StoreAuthMethod(std::size_t index, std::string_view method);
  // The record at `index`, or nullptr when the table was reloaded since the
  // check began.
  AccountRecord* CheckedRecord(std::size_t index);
  // A header value decoded for display; a value the decoder refuses is shown
  // as received rather than ending the check.
  static std::string DisplayHeader(std::string_view raw);

  AccountTable& table_;
  SyncPop3Client& pop3_;
  SeenList& seenList_;
  NewMailList& mailList_;
  WindowFlags& flags_;
  CheckHost& host_;
  SecretSource* secretSource_ = nullptr;

  std::uint64_t tableGeneration_ = 0;
  std::uint64_t checkGeneration_ = 0;
  // The account being checked, as it was when the check began.
  std::string name_;
  std::string server_;
  std::string port_;
  std::uint8_t securityMode_ = kSecurityAuto;
  CheckReport report_;
  bool oauth_ = false;
};

}  // namespace corvel
