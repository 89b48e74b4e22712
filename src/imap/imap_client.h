// ImapClient: an event-driven IMAP client for looking at mailboxes without
// changing them: IMAP4rev1 (RFC 3501), IMAP4rev2 (RFC 9051) where the server
// announces it, over plain TCP, TLS from the first byte (port 993, RFC 8314)
// or STARTTLS. Logins: the LOGIN command (refused while the server announces
// LOGINDISABLED) and AUTHENTICATE with PLAIN (RFC 4616), CRAM-MD5 (RFC 2195),
// XOAUTH2 and OAUTHBEARER (RFC 7628), the first response on the command line
// where the server takes it (SASL-IR, RFC 4959). Mailboxes are opened with
// EXAMINE only, headers read with BODY.PEEK: nothing the client sends sets
// \Seen, stores a flag, moves, expunges or deletes anything. IDLE (RFC 2177)
// waits for news; ENABLE (RFC 5161) turns on UTF8=ACCEPT (RFC 6855) and
// IMAP4rev2, which name mailboxes in UTF-8 instead of modified UTF-7.
//
// Every operation starts one request and returns at once; the engine sends
// its command (tagged "a1", "a2", ... on each connection), matches the
// completion to it by its tag, and ends the request once, reporting it
// through OnRequestDone, deferred to a later turn of the loop. Untagged data
// is taken into the properties of the request it answers (EXISTS and the
// UIDVALIDITY code into Exists() and UidValidity() during EXAMINE, SEARCH
// into Uids(), each FETCH into OnFetched), and whatever arrives between
// requests (EXISTS during IDLE) goes to the session's events. The bytes are
// framed into responses by ImapResponseParser, apart from all of this.
//
// Limits: a request whose server says nothing for Timeout() seconds ends
// with kImapTimedOut and the connection is dropped; an answer the parser
// refuses (garbage, a response beyond its limits) ends the request with
// kImapBadAnswer and drops the connection too. A header literal beyond
// kImapMaxHeader is read past, not kept: that message's header is reported
// missing and the request goes on.
//
// Threads: the client lives on the thread of its EventLoop; operations must
// be called there, and every event runs there. OnRequestDone never runs
// inside the operation or the socket event that ended the request; the
// other events run inside the engine while the request runs, and must not
// destroy the client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/exception.h"
#include "imap/imap_parser.h"
#include "net/async_socket.h"
#include "net/event_loop.h"

namespace corvel {

// Raised when an operation cannot start; nothing was sent then.
class ImapException : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] std::string ClassName() const override { return "ImapException"; }
};

// The states of RFC 3501 section 3 (the logout state is imapNotConnected).
enum class ImapProtocolState {
  imapNotConnected,
  imapNotAuthenticated,
  imapAuthenticated,
  imapSelected,  // a mailbox is open (always read-only here)
};

enum class ImapEngineState {
  imapReady,  // no request running, connected or not
  imapResolving,
  imapConnecting,  // TCP, and the TLS handshake with TLS from the first byte
  imapWaitingGreeting,
  imapWaitingReply,  // a command was sent; its completion is awaited
  imapTlsHandshake,  // STARTTLS was accepted; the handshake runs
  imapIdling,        // IDLE was accepted: updates go to the events until Done()
};

enum class ImapRequest {
  imapConnect,  // up to the greeting, and CAPABILITY when it carried none
  imapCapability,
  imapStartTls,  // STARTTLS, the handshake, CAPABILITY
  imapLogin,     // LOGIN or AUTHENTICATE, and CAPABILITY when the OK carried none
  imapEnable,
  imapList,
  imapExamine,
  imapSearch,
  imapFetch,
  imapNoop,
  imapIdle,  // up to the server's go-ahead
  imapDone,  // DONE, up to the IDLE command's completion
  imapLogout,
};

enum class ImapAuthMechanism {
  imapAuthLogin,  // the LOGIN command, user name and password in the clear
  imapAuthPlain,
  imapAuthCramMD5,
  imapAuthXOAuth2,  // PassWord holds the access token
  imapAuthOAuthBearer,
};

// The outcome codes of a request besides 0 and the socket's own codes.
inline constexpr std::uint16_t kImapRefused = 500;    // the server answered NO or BAD
inline constexpr std::uint16_t kImapBadAnswer = 502;  // an answer the client cannot use
inline constexpr std::uint16_t kImapTimedOut = 426;   // silence, or Abort
inline constexpr std::uint16_t kImapConnectionClosed = 10004;

// A header answer longer than this is not kept (RFC 5322 headers of the
// fields asked for are a few hundred bytes).
inline constexpr std::size_t kImapMaxHeader = 1u << 20;

struct ImapListEntry {
  std::string name;                     // UTF-8, as the user writes it
  std::string wireName;                 // as the server sent it
  std::string delimiter;                // the hierarchy delimiter; empty for none
  std::vector<std::string> attributes;  // "\HasNoChildren", "\Junk", ...
  // An attribute, compared without regard to letter case.
  [[nodiscard]] bool Has(std::string_view attribute) const;
};

struct ImapFetchedMessage {
  std::uint32_t uid = 0;
  std::optional<std::uint64_t> size;  // RFC822.SIZE
  // The header fields asked for, as sent (CR LF line ends, the empty line
  // that ends them); empty when `headerComplete` is false.
  std::string header;
  // False when the server sent no header, NIL, or one beyond kImapMaxHeader.
  bool headerComplete = false;
};

class ImapClient {
 public:
  using DisplayEvent = std::function<void(const std::string& msg)>;
  using RequestDoneEvent = std::function<void(ImapRequest request, std::uint16_t error)>;

  explicit ImapClient(EventLoop& loop);
  virtual ~ImapClient();
  ImapClient(const ImapClient&) = delete;
  ImapClient& operator=(const ImapClient&) = delete;

  [[nodiscard]] EventLoop& Loop() const { return loop_; }

  // ---- Settings, read when a request starts.
  [[nodiscard]] const std::string& Host() const { return host_; }
  void SetHost(std::string host) { host_ = std::move(host); }
  [[nodiscard]] const std::string& Port() const { return port_; }
  void SetPort(std::string port) { port_ = std::move(port); }
  [[nodiscard]] SocketTlsMode TlsMode() const { return tlsMode_; }
  void SetTlsMode(SocketTlsMode mode) { tlsMode_ = mode; }
  // The name the certificate must carry, also sent as SNI; empty: Host.
  [[nodiscard]] const std::string& TlsHostName() const { return tlsHostName_; }
  void SetTlsHostName(std::string name) { tlsHostName_ = std::move(name); }
  [[nodiscard]] const std::string& UserName() const { return userName_; }
  void SetUserName(std::string name) { userName_ = std::move(name); }
  // The password, or the access token of the OAuth2 mechanisms.
  void SetPassWord(std::string password) { passWord_ = std::move(password); }
  [[nodiscard]] bool HasPassWord() const { return !passWord_.empty(); }
  // Seconds a request may wait without a byte from the server; 0: no limit.
  [[nodiscard]] std::int32_t Timeout() const { return timeout_; }
  void SetTimeout(std::int32_t seconds) { timeout_ = seconds; }

  // ---- State.
  [[nodiscard]] ImapEngineState State() const { return state_; }
  [[nodiscard]] ImapProtocolState ProtocolState() const { return protocolState_; }
  [[nodiscard]] bool Connected() const { return connected_; }
  [[nodiscard]] bool TlsActive() const;
  [[nodiscard]] const std::string& TlsFailureReason() const;
  [[nodiscard]] ImapRequest Request() const { return request_; }
  // True while a request runs (from its operation until its end).
  [[nodiscard]] bool Busy() const { return requestRunning_; }
  // How the last request ended: 0, kImapRefused, kImapBadAnswer,
  // kImapTimedOut, kImapConnectionClosed, or a socket or TLS error code.
  [[nodiscard]] std::uint16_t RequestResult() const { return requestResult_; }
  [[nodiscard]] bool RequestSucceeded() const { return requestResult_ == 0; }
  // What the failure was, for a log line: the server's refusal ("NO
  // [AUTHENTICATIONFAILED] Authentication failed."), its farewell, the
  // socket's or the parser's words; empty after a success.
  [[nodiscard]] const std::string& ErrorMessage() const { return errorMessage_; }
  // The engine state the last time-out struck in (imapWaitingGreeting tells
  // a server that never greeted); imapReady when the last request did not
  // time out.
  [[nodiscard]] ImapEngineState TimedOutIn() const { return timedOutIn_; }

  // The capabilities the server announced last, in capitals; asked again
  // after STARTTLS and after the login when the server did not say them.
  [[nodiscard]] const std::vector<std::string>& Capabilities() const { return capabilities_; }
  [[nodiscard]] bool HasCapability(std::string_view name) const;
  // The greeting's text, and the text of the server's BYE, when one came.
  [[nodiscard]] const std::string& GreetingText() const { return greetingText_; }
  // True once ENABLE turned on UTF8=ACCEPT or IMAP4rev2: mailbox names go
  // and come in UTF-8.
  [[nodiscard]] bool Utf8Names() const { return utf8Names_; }
  // What the server said when it refused the token of the last XOAUTH2 or
  // OAUTHBEARER login (its decoded challenge, a JSON object), printable ASCII
  // only; empty when it said nothing.
  [[nodiscard]] const std::string& AuthErrorChallenge() const { return authErrorChallenge_; }

  // The open mailbox: EXISTS, and the UIDVALIDITY and UIDNEXT codes, of the
  // last EXAMINE, Exists() kept up to date by later EXISTS and EXPUNGE.
  [[nodiscard]] const std::string& Mailbox() const { return mailbox_; }
  [[nodiscard]] std::uint32_t Exists() const { return exists_; }
  [[nodiscard]] std::uint32_t UidValidity() const { return uidValidity_; }
  [[nodiscard]] std::uint32_t UidNext() const { return uidNext_; }
  // The UIDs the last search found, ascending, each once.
  [[nodiscard]] const std::vector<std::uint32_t>& Uids() const { return uids_; }
  // The mailboxes the last LIST named.
  [[nodiscard]] const std::vector<ImapListEntry>& ListEntries() const { return listEntries_; }

  // ---- Operations. Each raises ImapException when it cannot start; every
  // later outcome arrives through OnRequestDone.
  void Connect();
  void Capability();
  // Allowed before the login on a connection without TLS; the capabilities
  // are asked again inside the protected session.
  void StartTls();
  // LOGIN is refused ("LOGIN is disabled on this connection") while the
  // server announces LOGINDISABLED.
  void Login(ImapAuthMechanism mechanism);
  // ENABLE of those of UTF8=ACCEPT and IMAP4rev2 the server announces; ends
  // at once, successfully, when it announces neither (or not ENABLE).
  void EnableUtf8();
  // LIST "" pattern (pattern in UTF-8), with RETURN (SPECIAL-USE) when the
  // server announces SPECIAL-USE, so that \Junk and \Trash are told.
  void List(std::string_view pattern);
  // EXAMINE (never SELECT): the mailbox opens read-only. A name that is not
  // well-formed UTF-8 is refused.
  void Examine(std::string_view mailbox);
  // UID SEARCH ALL (RETURN (ALL) where ESEARCH is announced) in the open
  // mailbox: every UID, into Uids().
  void SearchAllUids();
  // UID FETCH of the UIDs (each message's RFC822.SIZE and the header fields
  // From, Subject and Date, with BODY.PEEK); each answer goes to OnFetched.
  void FetchHeaders(const std::vector<std::uint32_t>& uids);
  // UID FETCH of the UIDs' RFC822.SIZE alone; each answer goes to OnFetched.
  void FetchSizes(const std::vector<std::uint32_t>& uids);
  void Noop();
  // IDLE; the request ends when the server says go ahead, after which the
  // client is imapIdling until Done(). Should the server end the IDLE
  // itself, the client is imapReady again (OnStateChange tells).
  void Idle();
  void Done();
  // Done at the completion or the close, whichever comes first, always with
  // 0; the client then closes the connection. Done at once when not
  // connected.
  void Logout();
  // Cancels a lookup or drops the connection; a running request ends with
  // kImapTimedOut ("Aborted").
  void Abort();

  // ---- Events (loop thread; an empty one is skipped).
  DisplayEvent OnDisplay;  // "> " + command sent (secrets hidden), "< " + response
  RequestDoneEvent OnRequestDone;
  std::function<void(const ImapFetchedMessage& message)> OnFetched;
  // The number of messages in the open mailbox, whenever the server tells
  // it (EXAMINE, NOOP, IDLE).
  std::function<void(std::uint32_t exists)> OnExists;
  std::function<void()> OnStateChange;
  std::function<void(std::uint16_t errCode)> OnSessionClosed;

 protected:
  // Ends the running request as after a time-out, in its present state.
  void TimedOut();
  // Ends the running request as refused before it started: `why` becomes
  // the ErrorMessage of a request that never ran.
  void NoteRefusal(std::string why);

 private:
  using Handler = void (ImapClient::*)(const ImapResponse& response);

  // A command as it goes out: pieces of a line, a synchronizing literal
  // between two pieces (the next piece waits for the server's "+").
  struct Command {
    std::vector<std::string> pieces;
    // Shown instead of the command in the trace (secrets); empty: the command.
    std::string shown;
  };
  class CommandBuilder;

  // The one place where the engine state changes.
  void SetState(ImapEngineState state);

  // Starting requests.
  void EnsureReady() const;
  void EnsureConnected() const;
  void EnsureProtocolState(ImapProtocolState least, const char* command) const;
  void BeginRequest(ImapRequest request);
  // Sends the command under a new tag; `onOk` runs at its OK (null: the
  // request ends with 0), `onContinuation` at each "+" beyond the literals.
  void SendCommand(Command command, Handler onOk, Handler onContinuation = nullptr);
  void SendLine(const std::string& line, const std::string& shown);
  [[nodiscard]] CommandBuilder Build(std::string_view word) const;
  // UID FETCH of `items` for the UIDs.
  void Fetch(const std::vector<std::uint32_t>& uids, const std::string& items);

  // Socket events.
  void HandleLookupDone(std::uint16_t errCode);
  void ConnectSocket();
  void HandleSessionConnected(std::uint16_t errCode);
  void HandleData(std::uint16_t errCode);
  void HandleSessionClosed(std::uint16_t errCode);
  void HandleTlsHandshakeDone(std::uint16_t errCode);

  // Responses.
  void HandleResponse(const ImapResponse& response);
  void HandleGreeting(const ImapResponse& response);
  void HandleTagged(const ImapResponse& response);
  void HandleContinuation(const ImapResponse& response);
  void HandleUntagged(const ImapResponse& response);
  void HandleFetch(const ImapResponse& response);
  void HandleSearch(const ImapResponse& response);
  void HandleList(const ImapResponse& response);
  void TakeCapabilities(std::string_view words);

  // Continuations after an OK, and at a "+".
  void StartTlsHandshake(const ImapResponse& response);
  void LoggedIn(const ImapResponse& response);
  void Examined(const ImapResponse& response);
  void Searched(const ImapResponse& response);
  void LoggedOut(const ImapResponse& response);
  void AuthenticateContinue(const ImapResponse& response);
  void IdleAccepted(const ImapResponse& response);
  void IdleEndedAtOnce(const ImapResponse& response);
  // The SASL mechanism's first response, Base64-encoded.
  [[nodiscard]] std::string InitialResponse() const;

  // Completion: the one way a request ends.
  void RequestDone(std::uint16_t error, std::string why = {});
  // Ends the running request with kImapBadAnswer and drops the connection.
  void FailRequest(const std::string& why);
  // Ends the running request with `error` and drops the connection.
  void AbortWith(std::uint16_t error, const std::string& why);
  void DropConnection();

  // The silence time-out.
  void ArmTimer();
  void DisarmTimer();

  [[nodiscard]] std::string EncodeMailbox(std::string_view name) const;
  [[nodiscard]] std::string DecodeMailbox(std::string_view wireName) const;

  EventLoop& loop_;
  std::unique_ptr<AsyncSocket> socket_;
  // Expires with the client, so a completion still queued in the loop when
  // the client is destroyed is never delivered.
  std::shared_ptr<int> alive_;

  std::string host_;
  std::string port_ = "imap";
  SocketTlsMode tlsMode_ = SocketTlsMode::tlsOff;
  std::string tlsHostName_;
  std::string userName_;
  std::string passWord_;
  std::int32_t timeout_ = 15;

  ImapEngineState state_ = ImapEngineState::imapReady;
  ImapProtocolState protocolState_ = ImapProtocolState::imapNotConnected;
  bool connected_ = false;
  bool requestRunning_ = false;
  ImapRequest request_ = ImapRequest::imapConnect;
  std::uint16_t requestResult_ = 0;
  std::string errorMessage_;
  ImapEngineState timedOutIn_ = ImapEngineState::imapReady;

  ImapResponseParser parser_;
  // Counts connections and drops, so a handler that dropped the connection
  // is noticed by the loop that feeds the parser.
  std::uint64_t connectionSerial_ = 0;

  // The command awaiting its completion.
  std::uint32_t tagCounter_ = 0;
  std::string tag_;
  std::vector<std::string> piecesLeft_;
  Handler onOk_ = nullptr;
  Handler onContinuation_ = nullptr;
  // The IDLE command's tag while idling.
  std::string idleTag_;
  // A completion to pass over: that of an IDLE ended by LOGOUT.
  std::string ignoredTag_;
  // The text of the server's BYE, told when the close follows.
  std::string byeText_;

  // The login in progress.
  ImapAuthMechanism mechanism_ = ImapAuthMechanism::imapAuthLogin;
  int saslStep_ = 0;
  std::string authErrorChallenge_;

  std::vector<std::string> capabilities_;
  bool capabilitiesFresh_ = false;  // said by the last OK
  std::string greetingText_;
  bool utf8Names_ = false;

  std::string mailbox_;
  std::string examining_;
  std::uint32_t exists_ = 0;
  std::uint32_t uidValidity_ = 0;
  std::uint32_t uidNext_ = 0;
  std::vector<std::uint32_t> uids_;
  std::vector<ImapListEntry> listEntries_;
  std::vector<std::uint32_t> fetching_;  // sorted

  EventLoop::TimerId timer_ = 0;
};

}  // namespace corvel
