// A check's POP3 session (RFC 1939) over the shared blocking client: the
// login methods and their discovery (APOP, AUTH CRAM-SHA1, CRAM-MD5, LOGIN,
// USER/PASS; OAUTHBEARER and XOAUTH2 for OAuth2 accounts), STLS (RFC 2595),
// and the listing of the mailbox either with one UIDL and one LIST for the
// whole mailbox or with UIDL n and LIST n per message, the headers with
// TOP n 1, pipelined (RFC 2449) when the server announces PIPELINING.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "checker/mailbox.h"
#include "net/async_socket.h"
#include "pop3/sync_pop3_client.h"

namespace corvel {

// The port on which POP3 is spoken over TLS from the first byte (RFC 8314).
inline constexpr std::int32_t kPop3sPort = 995;

// How the connection of an account with this mode and port begins.
[[nodiscard]] SocketTlsMode TlsModeFor(std::uint8_t securityMode, std::int32_t port);

class Pop3Mailbox : public MailboxSession {
 public:
  explicit Pop3Mailbox(SyncPop3Client& pop3) : pop3_(pop3) {}

  void Begin(const AccountRecord& record, MailboxCheck& check) override;
  [[nodiscard]] bool Protected() const override;
  void SetSecret(std::string secret) override;
  [[nodiscard]] bool Connect(std::string& reason) override;
  [[nodiscard]] CheckOutcome LogIn(std::string& reason) override;
  [[nodiscard]] bool Stat(MailboxStats& stats) override;
  [[nodiscard]] std::int64_t Timeout() const override { return pop3_.Timeout(); }
  void LimitTotalTime(std::optional<std::uint64_t> ms) override { pop3_.LimitTotalTime(ms); }
  void BeginListing(const ListingRequest& request) override;
  ListingEnd NextBatch(std::vector<MailboxEntry>& batch) override;
  [[nodiscard]] bool FetchSizes(std::span<MailboxEntry> entries) override;
  [[nodiscard]] bool FetchHeaders(std::span<const MailboxEntry> entries,
                                  const HeadersEvent& onHeaders) override;
  [[nodiscard]] std::string FailureReason() const override { return ServerAnswer(); }
  void LogOut() override;

 private:
  // Where a listing stands.
  enum class Stage {
    kStart,       // nothing asked yet
    kPerMessage,  // one message at a time, from nextMessage_ on
    kDone,        // ended as end_ says
  };

  // ---- Logging in.
  // STLS on the fresh connection of a STARTTLS account; false (after its log
  // line) when the connection is not protected afterwards.
  bool StartTlsIfRequired(std::string& reason);
  // Logs "TLS failed: " + why when the last request failed for TLS, and
  // returns why (empty for any other failure).
  std::string LogTlsFailure(bool startTls);
  // Why the connection could not be made (or protected, for `tls`).
  [[nodiscard]] std::string ConnectFailureReason(const std::string& tls) const;
  // The server's refusal text, or what ended the request instead.
  [[nodiscard]] std::string ServerAnswer() const;
  CheckOutcome DiscoverAuthMethod(std::string& reason);
  // One AUTH mechanism of a discovery chain: its log lines and the word
  // AuthMethod remembers when it works.
  struct AuthAttempt {
    const char* announcement;
    Pop3AuthType type;
    const char* success;
    std::string_view method;
  };
  // Tries `chain` in order until one logs in (true: logged and remembered);
  // `logRefusals`: each refusal's server answer goes to the log too.
  bool TryAuthChain(std::span<const AuthAttempt> chain, bool logRefusals);
  // The discovery of an OAuth2 account: OAUTHBEARER, then XOAUTH2.
  CheckOutcome DiscoverOAuthMethod(std::string& reason);
  bool LoginStored(std::string& reason);
  // After a refused OAuth2 login: what the server said, when it said anything.
  void LogServerAnswer();
  // The reason after the OAuth2 login `methods` was refused; the check
  // drops the token.
  std::string OAuthLoginRefused(std::string_view methods);

  // ---- Listing.
  // "UIDL" (identifiers) or "LIST" without a number; `onLine` gets the
  // message number of each line, with MsgUidl or MsgSize set, in ascending
  // order, and answers false once the listing goes beyond its bounds, which
  // drops the connection. kComplete, kCut (the connection ended it; the lines
  // before are good), kUnusable (refused, or a line out of order) or
  // kTooLarge.
  ListingEnd ReadListing(bool identifiers, const std::function<bool(std::int32_t)>& onLine);
  // Counts an entry with this identifier into the listing; false beyond its
  // bounds.
  bool Count(std::string_view id);
  // The messages with an identifier: the whole UIDL listing as one batch,
  // or UIDL n for one message after another.
  ListingEnd NextIdentified(std::vector<MailboxEntry>& batch);
  // Every message with its size and identifier: both listings as one batch
  // when they name every message, otherwise one message after another.
  ListingEnd NextOfEveryMessage(std::vector<MailboxEntry>& batch);
  ListingEnd EndListing(ListingEnd end);
  // Whether the server takes pipelined commands; CAPA is asked once per
  // connection, and any failure of it means no. A server whose answers went
  // out of step is never sent pipelined commands again.
  bool ServerPipelines();
  // After answers that went out of step: a new connection and login, so that
  // the rest can be asked one at a time; false when that cannot be.
  bool Resynchronise();
  // Whether message `entry.ref` of the new connection is the one listed.
  bool SameMessage(const MailboxEntry& entry);
  [[nodiscard]] std::string ServerKey() const { return server_ + ":" + port_; }
  [[nodiscard]] MessageHeaders Headers() const;

  SyncPop3Client& pop3_;
  MailboxCheck* check_ = nullptr;
  std::string server_;
  std::string port_;
  std::uint8_t securityMode_ = kSecurityAuto;
  bool oauth_ = false;
  std::string authMethod_;
  // What STAT said.
  std::int32_t messageCount_ = 0;

  ListingRequest request_;
  Stage stage_ = Stage::kDone;
  ListingEnd end_ = ListingEnd::kComplete;
  std::int64_t nextMessage_ = 1;
  int failuresInARow_ = 0;
  // Entries and identifier bytes the listing has taken so far.
  std::size_t listedEntries_ = 0;
  std::uint64_t listedBytes_ = 0;
  // New connections made in this check because answers went out of step.
  int resynchronised_ = 0;
  // Servers ("host:port") whose answers went out of step while pipelining.
  std::set<std::string> noPipelining_;
  // The message of the last batch of a listing of every message got an
  // answer (its size, identifier or headers).
  bool answered_ = true;
  // A listing of every message: what the whole listings gave, in message
  // order, and where the walk through them is.
  bool sizesListed_ = false;
  bool uidlsListed_ = false;
  std::vector<std::pair<std::int32_t, std::int32_t>> sizes_;
  std::vector<std::pair<std::int32_t, std::string>> uidls_;
  std::size_t nextSize_ = 0;
  std::size_t nextUidl_ = 0;
};

}  // namespace corvel
