// The mailbox seam: what one check needs of a mail server, whatever protocol
// it speaks. The check cycle (MailChecker) talks only to a MailboxSession; a
// POP3 session (Pop3Mailbox) implements it over the shared SyncPop3Client,
// and other protocols implement it over their own clients.
//
// A check drives a session in this order:
//
//   Begin(record, check)         the account to check; nothing is sent
//   Protected()                  may an OAuth2 token be sent? (asked before the secret is fetched)
//   SetSecret(secret)            the password or access token
//   Connect(reason)              reach the server (TLS from the first byte where the account says
//   so) LogIn(reason)                STARTTLS where required, then the remembered login, or the
//                                discovery of one (which ends the check: no mail is looked for)
//   Stat(stats)                  how many messages, how many bytes
//   UnchangedSince(holds)        (with a seen store) whether the store shows that nothing
//                                came since a listing it recorded whole: then no listing
//   LimitTotalTime(ms)           the check's deadline, from here on
//   BeginListing(request)        then NextBatch(batch) until it ends, and for each batch
//     FetchSizes(entries)        the sizes of the chosen entries not sized yet
//     FetchHeaders(entries, cb)  the headers of the chosen entries, each as it arrives
//                                (a false from either ends the listing: the check ends early)
//   WholeListingEntries()        after a complete listing whose every message is recorded:
//                                entries the seen store keeps to say so
//   LogOut()                     always, on every path, also after a failed Connect
//
// The session owns everything protocol-specific: the login methods and their
// discovery, STARTTLS, the commands and their pipelining, listing in one
// command or one message at a time, and the log lines of these steps (written
// through MailboxCheck::Log under the account's name). The check owns the rest:
// the lines "Trying to connect to", "Connected to" and "Logged out from", what
// is new against the seen store, which headers to fetch, the rows, recording
// identifiers, and the report. An identifier is recorded only once its
// message has been reported: as its row is added, or (without "Show me all the
// new mail") once the whole listing has come; a check that ends early leaves
// the rest to the next check, which finds them new again.
//
// Identifiers are opaque byte strings, compared exactly; the session may
// build them as it likes (a POP3 UIDL as the server sent it, or for a
// protocol with folders something like "FOLDER/UIDVALIDITY/UID"), as long as
// one message keeps one identifier from check to check and no two messages
// of an account share one.
//
// Every call blocks and keeps the event loop running while it waits; the
// protocol's silence time-out and the check's deadline (LimitTotalTime) bound
// every wait. A session is used by one check at a time, on the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_record.h"

namespace corvel {

class SeenList;

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
  // Logged in, but the mailbox was not examined whole: the server would not
  // tell its size, the connection or the time ran out, its answers went out
  // of step, or its listing went beyond the bounds. What was reported is
  // recorded; the rest is looked for by the next check.
  EndedEarly,
};

// Whether the account could not be checked: not reached, not protected, or
// not logged in to.
[[nodiscard]] bool CheckFailed(CheckOutcome outcome);

// An account's security mode (byte 203 of its record).
inline constexpr std::uint8_t kSecurityAuto = 0;      // plain, but TLS on the protocol's TLS port
inline constexpr std::uint8_t kSecurityStartTls = 1;  // STARTTLS required after connecting
inline constexpr std::uint8_t kSecurityTls = 2;       // TLS from the first byte, any port

// The most a listing may hold, all batches together: beyond either bound the
// listing ends with kTooLarge (a server may claim two billion messages and
// stream identifiers for ever; no mailbox a person reads comes near).
inline constexpr std::size_t kMaxListingEntries = 1'000'000;
inline constexpr std::uint64_t kMaxListingBytes = 64u << 20;  // of identifiers

// What a session needs from the check that runs it.
class MailboxCheck {
 public:
  virtual ~MailboxCheck() = default;
  // A line of the activity log under the account's name.
  virtual void Log(std::string_view message) = 0;
  // The login method that worked (a word of at most 10 characters, the
  // session's own), stored into the account's record when the table still
  // holds it; logs "Saving AUTH type and logging out...".
  virtual void RememberAuthMethod(std::string_view method) = 0;
  // The server refused the account's OAuth2 access token: a token kept for
  // later is dropped.
  virtual void TokenRefused() = 0;
};

// The mailbox as a whole.
struct MailboxStats {
  std::int64_t count = 0;  // messages
  std::int64_t bytes = 0;  // their total size
};

// One message of a listing.
struct MailboxEntry {
  // The message's identifier; empty when the server would not tell it (only
  // in a listing of every message, see ListingRequest::everyMessage).
  std::string id;
  // The size in bytes, when `sized`.
  std::int64_t size = 0;
  bool sized = false;
  // Record the identifier as seen without reporting the message (a folder
  // whose identifiers all changed: its messages are not new mail).
  bool recordOnly = false;
  // The session's own handle of the message (a POP3 message number); the
  // check only hands it back.
  std::uint64_t ref = 0;
};

// How a listing stands after a batch.
enum class ListingEnd {
  kMore,      // ask for the next batch
  kComplete,  // every message has been listed
  kCut,       // the connection or the time ended it: the check ends early, and
              // entries of this batch are not taken
  kUnusable,  // the server's listing could not be used, and no other way is left
  kTooLarge,  // beyond ListingRequest's bounds: nothing after them was taken
};

struct ListingRequest {
  // Whole listings in one command each, where the protocol has the choice;
  // otherwise one command per message.
  bool fast = true;
  // Every message, each with its size, also those whose identifier cannot be
  // read (they come with an empty id); otherwise only messages with an
  // identifier, sized where the protocol gives sizes cheaply.
  bool everyMessage = false;
  // The identifiers seen before this check (a protocol may list only what
  // lies beyond them, or notice that its identifiers have changed); null for
  // a listing of every message.
  const SeenList* seen = nullptr;
  // The bounds of the listing, all its batches together: entries, and bytes
  // of their identifiers.
  std::size_t maxEntries = kMaxListingEntries;
  std::uint64_t maxBytes = kMaxListingBytes;
};

// Header values of a message as the server sent them: encoded words not
// decoded, folded lines joined. Valid during the callback only.
struct MessageHeaders {
  std::string_view from;
  std::string_view subject;
  std::string_view date;
};

class MailboxSession {
 public:
  // Runs as the headers of entries[index] have arrived, in the order of the
  // entries; false: fetch no further headers.
  using HeadersEvent = std::function<bool(std::size_t index, const MessageHeaders& headers)>;

  virtual ~MailboxSession() = default;

  // Takes the server, port, user, security mode, login kind and remembered
  // method from `record`; `check` receives the session's log lines until
  // LogOut. Nothing is sent.
  virtual void Begin(const AccountRecord& record, MailboxCheck& check) = 0;
  // Whether everything sent after Connect will be protected by TLS (from the
  // first byte, or after STARTTLS): an OAuth2 token is sent only then.
  [[nodiscard]] virtual bool Protected() const = 0;
  virtual void SetSecret(std::string secret) = 0;

  // Opens the connection; false when the server was not reached or TLS from
  // the first byte failed, with `reason` telling why (the "TLS failed: " line
  // is logged by the session).
  [[nodiscard]] virtual bool Connect(std::string& reason) = 0;
  // Protects the connection where the account asks for STARTTLS, then logs
  // in with the remembered method, or finds one when none is remembered.
  // Checked: logged in, the mailbox may be examined. Any other outcome ends
  // the check (MethodDiscovered and NoMethodFound after a discovery,
  // LoginFailed, TlsFailed, ReconnectFailed), with `reason` for the failures.
  [[nodiscard]] virtual CheckOutcome LogIn(std::string& reason) = 0;

  // The mailbox's size; false when the server would not tell.
  [[nodiscard]] virtual bool Stat(MailboxStats& stats) = 0;
  // The silence (seconds) one request may last; the check's deadline is
  // measured in it.
  [[nodiscard]] virtual std::int64_t Timeout() const = 0;
  // A bound on the time of every request from now on, all together; once it
  // has passed, requests end as after a time-out. nullopt lifts it.
  virtual void LimitTotalTime(std::optional<std::uint64_t> ms) = 0;

  // Starts a listing of the messages; the session keeps `request` (and the
  // seen list it points to) until the listing ends.
  virtual void BeginListing(const ListingRequest& request) = 0;
  // Replaces `batch` with the next messages of the listing, in message order
  // (none repeated within the listing, except that two messages may carry
  // the same identifier). Every entry but those of a listing of every
  // message carries an identifier.
  virtual ListingEnd NextBatch(std::vector<MailboxEntry>& batch) = 0;
  // Sizes the entries (of the current batch) that are not sized yet; an
  // entry the server refuses to size stays unsized. False when the session
  // cannot go on (the connection or the time ran out): the check ends early.
  [[nodiscard]] virtual bool FetchSizes(std::span<MailboxEntry> entries) = 0;
  // Fetches the headers of the entries (of the current batch), calling
  // onHeaders for each that arrives, never with another message's headers;
  // an entry whose headers the server refuses is skipped. False when the
  // session cannot go on: the check ends early.
  [[nodiscard]] virtual bool FetchHeaders(std::span<const MailboxEntry> entries,
                                          const HeadersEvent& onHeaders) = 0;
  // A protocol whose mailbox tells whether anything was added since an
  // earlier look (IMAP's UIDNEXT) lets a check skip the listing. After a
  // complete listing whose every message the seen store then holds, the check
  // adds these entries to the store: they describe the mailbox as it was
  // listed (identifiers no message has). After Stat, UnchangedSince tells
  // whether the store (`holds`: does it hold this entry?) shows the mailbox
  // as Stat found it, so that no message in it can be new. A protocol that
  // cannot tell gives no entries and false.
  [[nodiscard]] virtual std::vector<std::string> WholeListingEntries() const { return {}; }
  [[nodiscard]] virtual bool UnchangedSince(
      const std::function<bool(std::string_view entry)>& /*holds*/) const {
    return false;
  }

  // Why the last request failed, for a check's reason: the server's refusal,
  // the time-out or the check's deadline, the connection's end.
  [[nodiscard]] virtual std::string FailureReason() const = 0;

  // Logs out (with its own time-out, whatever the deadline) and forgets the
  // account and its secret.
  virtual void LogOut() = 0;
};

}  // namespace corvel
