// A check's IMAP session over a blocking IMAP client: the logins and their
// discovery (AUTHENTICATE CRAM-MD5 and PLAIN, the LOGIN command; OAUTHBEARER
// and XOAUTH2 for OAuth2 accounts), STARTTLS, and the account's folders
// looked at read-only, one batch of messages per folder.
//
// A message's identifier is "FOLDER/UIDVALIDITY/UID" (INBOX in capitals,
// whatever the account writes): it stays the message's own from check to
// check, and no two messages share one. The seen store holds these, and one
// more entry per folder, "FOLDER/UIDVALIDITY/", that records the UIDVALIDITY
// the folder was last seen with. A folder whose UIDVALIDITY differs from the
// one it was seen with has been renumbered: its messages are recorded as
// seen, not reported, and the change is logged. After a listing the store
// holds whole, it also keeps "FOLDER/UIDVALIDITY/UIDNEXT N": every message
// below UID N is recorded. While a folder still shows that UIDVALIDITY and
// that UIDNEXT, nothing has been added to it (RFC 3501 2.3.1.1), and a check
// whose folders all do lists nothing.
//
// Folders may be patterns ("*", "Lists/%"): the mailboxes LIST finds for
// them are watched, except those the server marks \Junk or \Trash (RFC
// 6154), which are watched only when named.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "accounts/account_options.h"
#include "checker/mailbox.h"
#include "imap/sync_imap_client.h"

namespace corvel {

// How the connection of an IMAP account with this mode and port begins.
[[nodiscard]] SocketTlsMode ImapTlsModeFor(std::uint8_t securityMode, std::int32_t port);

// The words an IMAP account's AuthMethod holds.
inline constexpr std::string_view kImapMethodCramMd5 = "MD5";
inline constexpr std::string_view kImapMethodPlain = "PLAIN";
inline constexpr std::string_view kImapMethodLogin = "NONE";  // the LOGIN command
inline constexpr std::string_view kImapMethodBearer = "BEARER";
inline constexpr std::string_view kImapMethodXOAuth2 = "XOAUTH2";

// The mechanism a stored word stands for; nothing for a word an account of
// this login kind does not use (the next check finds a method again).
[[nodiscard]] std::optional<ImapAuthMechanism> ImapMechanismOf(std::string_view method, bool oauth);

class ImapMailbox : public MailboxSession {
 public:
  explicit ImapMailbox(SyncImapClient& imap) : imap_(imap) {}

  // The folders the next account checked watches (from its options).
  void SetFolders(std::vector<std::string> folders) { folders_ = std::move(folders); }

  void Begin(const AccountRecord& record, MailboxCheck& check) override;
  [[nodiscard]] bool Protected() const override;
  void SetSecret(std::string secret) override { imap_.SetPassWord(std::move(secret)); }
  [[nodiscard]] bool Connect(std::string& reason) override;
  [[nodiscard]] CheckOutcome LogIn(std::string& reason) override;
  [[nodiscard]] bool Stat(MailboxStats& stats) override;
  [[nodiscard]] std::int64_t Timeout() const override { return imap_.Timeout(); }
  void LimitTotalTime(std::optional<std::uint64_t> ms) override { imap_.LimitTotalTime(ms); }
  void BeginListing(const ListingRequest& request) override;
  ListingEnd NextBatch(std::vector<MailboxEntry>& batch) override;
  [[nodiscard]] bool FetchSizes(std::span<MailboxEntry> entries) override;
  [[nodiscard]] bool FetchHeaders(std::span<const MailboxEntry> entries,
                                  const HeadersEvent& onHeaders) override;
  [[nodiscard]] std::vector<std::string> WholeListingEntries() const override {
    return wholeListing_;
  }
  [[nodiscard]] bool UnchangedSince(
      const std::function<bool(std::string_view entry)>& holds) const override;
  [[nodiscard]] std::string FailureReason() const override { return ServerAnswer(); }
  void LogOut() override;

 private:
  // A watched folder as the check found it.
  struct Folder {
    std::string name;  // as in identifiers: UTF-8, INBOX in capitals
    std::uint32_t exists = 0;
    std::uint32_t uidValidity = 0;
    std::uint32_t uidNext = 0;  // 0: the server did not tell
  };

  // ---- Logging in.
  bool StartTlsIfRequired(std::string& reason);
  // Logs "TLS failed: " + why when the last request failed for TLS, and
  // returns why (empty for any other failure).
  std::string LogTlsFailure(bool startTls);
  [[nodiscard]] std::string ConnectFailureReason(const std::string& tls) const;
  [[nodiscard]] std::string ServerAnswer() const;
  CheckOutcome Discover(std::string& reason);
  CheckOutcome LoginStored(std::string& reason);
  // After a refused login, a connection the server dropped is made again
  // (and protected again); false when that fails.
  bool StillConnected(std::string& reason);
  void LogServerAnswer();
  std::string OAuthLoginRefused(std::string_view methods);
  void LoggedIn();

  // ---- Looking.
  // The folders to watch: those named, and what the patterns among them
  // find.
  std::vector<std::string> WatchedFolders();
  // Opens the folder unless it is open; false (after its log line) when the
  // server refuses it.
  bool Open(const Folder& folder);
  // Fetches `items` of the UIDs (sizes, or sizes and headers) in pieces of a
  // command each; `onFetched` gets every answer.
  bool FetchInPieces(const std::vector<std::uint32_t>& uids, bool headers,
                     const std::function<void(const ImapFetchedMessage&)>& onFetched);
  [[nodiscard]] std::string Identifier(const Folder& folder, std::uint32_t uid) const;
  // The seen store's entry for the folder listed whole up to its UIDNEXT.
  [[nodiscard]] static std::string WholeListingMark(const Folder& folder);

  SyncImapClient& imap_;
  MailboxCheck* check_ = nullptr;
  std::vector<std::string> folders_;
  std::string server_;
  std::string port_;
  std::uint8_t securityMode_ = kSecurityAuto;
  bool oauth_ = false;
  bool leaveMail_ = true;
  std::string authMethod_;

  std::vector<Folder> watched_;
  ListingRequest request_;
  std::size_t nextFolder_ = 0;
  // The marks of the folders this listing has listed whole.
  std::vector<std::string> wholeListing_;
  // Entries and identifier bytes the listing has given so far.
  std::size_t listedEntries_ = 0;
  std::uint64_t listedBytes_ = 0;
};

}  // namespace corvel
