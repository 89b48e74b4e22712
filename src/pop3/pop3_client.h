// CustomPop3Client: an event-driven POP3 client (RFC 1939, with RPOP, LAST,
// APOP and the AUTH command of RFC 1734 with LOGIN, CRAM-MD5 and CRAM-SHA1,
// and the OAuth 2.0 bearer-token logins XOAUTH2 and OAUTHBEARER of RFC 7628),
// over plain TCP, TLS from the first byte, or STLS (RFC 2595).
//
// Every operation only starts a request: it checks that the client is free,
// sends one command line (or starts the connection) and returns at once. The
// replies arrive through the socket's events; the engine splits the bytes into
// lines (Pop3LineBuffer), hands each line to the handler armed for the running
// request, fills the properties from the replies, fires the per-line events of
// multi-line answers and, when the request is over, reports its end once
// through OnRequestDone, deferred to a later turn of the event loop.
//
// Requests run one at a time unless the caller sets QueueRequests: then the
// transaction commands started while others run are queued behind them,
// their commands sent ahead of the answers (pipelining, RFC 2449) within the
// socket's send buffer, and the answers taken in order.
//
// Threads: the client lives on the thread of the EventLoop it was built with.
// Operations must be called there, and every event below runs there, from
// inside EventLoop::ProcessEvents(). OnRequestDone never runs inside the
// operation or the socket event that ended the request; all other events run
// synchronously inside the engine while the request is still running, so an
// operation started from them is refused with "POP3 component not ready".
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec/exception.h"
#include "net/async_socket.h"
#include "net/event_loop.h"
#include "pop3/header_capture.h"
#include "pop3/pop3_line_buffer.h"

namespace corvel {

// Raised when an operation cannot start; nothing was sent then.
class Pop3Exception : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] std::string ClassName() const override { return "Pop3Exception"; }
};

// Protocol states compare by ordinal ("at most pop3WaitingUser").
enum class Pop3ProtocolState {
  pop3Disconnected = 0,
  pop3WaitingUser = 1,
  pop3WaitingPass = 2,
  pop3Transaction = 3,
};

enum class Pop3Request {
  pop3Connect = 0,
  pop3User = 1,
  pop3Pass = 2,
  pop3RPop = 3,
  pop3Quit = 4,
  pop3Stat = 5,
  pop3List = 6,
  pop3Retr = 7,
  pop3Top = 8,
  pop3Dele = 9,
  pop3Noop = 10,
  pop3Last = 11,
  pop3RSet = 12,
  pop3Uidl = 13,
  pop3APop = 14,
  pop3Open = 15,
  pop3Auth = 16,
  pop3Custom = 17,  // never set by this engine
  pop3Stls = 18,    // STARTTLS, RFC 2595
  pop3Capa = 19,    // CAPA, RFC 2449
};

enum class Pop3AuthType {
  popAuthNone = 0,
  popAuthLogin = 1,
  popAuthCramMD5 = 2,
  popAuthCramSHA1 = 3,
  // OAuth 2.0 bearer tokens: PassWord holds the access token.
  popAuthXOAuth2 = 4,
  popAuthOAuthBearer = 5,  // RFC 7628
};

enum class Pop3EngineState {
  pop3Idle = 0,
  pop3Resolving = 1,
  pop3Connecting = 2,
  pop3Connected = 3,
  pop3StepReady = 4,
  pop3WaitingGreeting = 5,
  pop3WaitingReply = 6,
  pop3Aborting = 7,
};

// How a running request comes to its end. One routine, RequestDone, turns
// each of these into the request's outcome.
enum class Pop3RequestEnd {
  kReply,    // the line (or handshake) that completes it arrived, positive or not
  kClosed,   // the connection closed before it was over
  kFailed,   // it cannot go on: lookup or connection error, a handler that raised,
             // an answer beyond its limits
  kAborted,  // Abort found it still running once the socket had nothing to report
};

// Error codes that reach OnRequestDone besides the socket's own.
inline constexpr std::uint16_t kPop3NegativeReply = 500;
inline constexpr std::uint16_t kPop3ConnectionClosed = 10004;
inline constexpr std::uint16_t kPop3Aborted = 426;

// Limits on what a server may send in one answer; beyond them the request
// fails and the connection is dropped, so no server can hold a check for
// ever. A TOP answer is a header and a few body lines: 1 MiB, line ends
// included, is far beyond any real one.
inline constexpr std::uint64_t kPop3MaxTopAnswer = 1u << 20;
// A line of a LIST or UIDL answer, status line included, without its line
// end. A scan listing is a message number and a size; a unique-id listing a
// message number and an id of at most 70 characters (RFC 1939): at most 81
// characters in all. The limit is the 512 octets RFC 1939 allows any
// response, less its CR LF: room for a lenient server, nothing more.
inline constexpr std::size_t kPop3MaxListingLine = 510;
// The capabilities kept from a CAPA answer; a server listing more is not
// believed about the rest, which only makes the client do without them.
inline constexpr std::size_t kPop3MaxCapabilities = 64;
// The send window for queued commands where the system does not tell the
// socket's send buffer.
inline constexpr std::size_t kPop3DefaultSendWindow = 4096;

class CustomPop3Client {
 public:
  using DisplayEvent = std::function<void(const std::string& msg)>;
  using NotifyEvent = std::function<void()>;
  using RequestDoneEvent = std::function<void(Pop3Request rqType, std::uint16_t error)>;
  using SessionEvent = std::function<void(std::uint16_t errCode)>;

  explicit CustomPop3Client(EventLoop& loop);
  virtual ~CustomPop3Client();
  CustomPop3Client(const CustomPop3Client&) = delete;
  CustomPop3Client& operator=(const CustomPop3Client&) = delete;

  [[nodiscard]] EventLoop& Loop() const { return loop_; }

  // ---- Properties.
  [[nodiscard]] const std::string& Host() const { return host_; }
  void SetHost(std::string host) { host_ = std::move(host); }
  [[nodiscard]] const std::string& LocalAddr() const { return localAddr_; }
  void SetLocalAddr(std::string addr) { localAddr_ = std::move(addr); }
  [[nodiscard]] const std::string& Port() const { return port_; }
  void SetPort(std::string port) { port_ = std::move(port); }
  [[nodiscard]] const std::string& UserName() const { return userName_; }
  void SetUserName(std::string name) { userName_ = std::move(name); }
  [[nodiscard]] const std::string& PassWord() const { return passWord_; }
  void SetPassWord(std::string password) { passWord_ = std::move(password); }
  [[nodiscard]] Pop3AuthType AuthType() const { return authType_; }
  void SetAuthType(Pop3AuthType type) { authType_ = type; }
  [[nodiscard]] const std::string& ErrorMessage() const { return errorMessage_; }
  [[nodiscard]] const std::string& LastResponse() const { return lastResponse_; }
  [[nodiscard]] Pop3ProtocolState ProtocolState() const { return protocolState_; }
  [[nodiscard]] std::int32_t MsgCount() const { return msgCount_; }
  [[nodiscard]] std::int32_t MsgSize() const { return msgSize_; }
  [[nodiscard]] std::int32_t MsgLines() const { return msgLines_; }
  void SetMsgLines(std::int32_t lines) { msgLines_ = lines; }
  [[nodiscard]] std::int32_t MsgNum() const { return msgNum_; }
  void SetMsgNum(std::int32_t num) { msgNum_ = num; }
  [[nodiscard]] const std::string& MsgUidl() const { return msgUidl_; }
  [[nodiscard]] std::int32_t Tag() const { return tag_; }
  void SetTag(std::int32_t tag) { tag_ = tag; }
  // TLS from the first byte (tlsImplicit), or plain TCP that Stls may
  // upgrade (tlsOff, the default). Read by Connect.
  [[nodiscard]] SocketTlsMode TlsMode() const { return tlsMode_; }
  void SetTlsMode(SocketTlsMode mode) { tlsMode_ = mode; }
  // The name the server's certificate must carry, also sent as SNI; empty:
  // Host, as typed (the connection itself goes to Host's address).
  [[nodiscard]] const std::string& TlsHostName() const { return tlsHostName_; }
  void SetTlsHostName(std::string name) { tlsHostName_ = std::move(name); }

  // Public, read-only.
  [[nodiscard]] Pop3EngineState State() const { return state_; }
  // True from the established TCP connection until the socket reports its
  // close, or a connection error.
  [[nodiscard]] bool Connected() const { return connected_; }
  // True when the greeting carried an APOP timestamp.
  [[nodiscard]] bool HasTimestamp() const { return !timestamp_.empty(); }
  [[nodiscard]] const std::string& Timestamp() const { return timestamp_; }
  // 0 = success; 500 after a negative reply; otherwise the failing code.
  [[nodiscard]] std::int32_t RequestResult() const { return requestResult_; }
  // The Error the last finished request was reported with (the value
  // OnRequestDone receives), known as soon as State() is back to idle.
  [[nodiscard]] std::int32_t FinishedError() const { return finishedError_; }
  // True when the last finished request ran to its end with RequestResult 0
  // and was not cut short by the connection's close (QUIT excepted, whose end
  // the close may be); what a blocking call returns.
  [[nodiscard]] bool RequestSucceeded() const { return requestSucceeded_; }
  // 0 after a positive reply, 500 after any other, 426 after a time-out.
  [[nodiscard]] std::int32_t StatusCode() const { return statusCode_; }
  [[nodiscard]] Pop3Request RequestType() const { return requestType_; }
  // True while the connection is protected by TLS.
  [[nodiscard]] bool TlsActive() const;
  // Why the last TLS handshake or session failed ("certificate has
  // expired"); empty when none did.
  [[nodiscard]] const std::string& TlsFailureReason() const;
  // True once a transaction command's answer did not begin with a status
  // line ("+" or "-") in this connection: the request failed, every request
  // queued behind it too, and the connection was dropped, since no later
  // answer could be matched to its command. Cleared by Connect.
  [[nodiscard]] bool AnswerOutOfStep() const { return outOfStep_; }
  // What the server said when it refused the token of the last XOAUTH2 or
  // OAUTHBEARER login (its decoded error challenge, normally a JSON object),
  // with anything but printable ASCII left out; empty when it sent none.
  [[nodiscard]] const std::string& AuthErrorChallenge() const { return authErrorChallenge_; }

  // While set, a transaction command (STAT, LIST, UIDL, RETR, TOP, DELE,
  // NOOP, RSET, LAST) started while such commands run is not refused: it is
  // queued behind them, its command sent as soon as the commands awaiting
  // their answers leave room for it in SendWindow(), and its answer taken
  // after theirs. Each queued request is reported on its own, in order, with
  // its own type. When a request ends by anything but its answer (the close,
  // a failure, Abort), every request queued behind it ends with the same
  // Error, unanswered. Off by default: one request at a time.
  [[nodiscard]] bool QueueRequests() const { return queueRequests_; }
  void SetQueueRequests(bool on) { queueRequests_ = on; }
  // The most command bytes that go out ahead of their answers: the socket's
  // send buffer (SO_SNDBUF) as the system tells it for this connection, or
  // kPop3DefaultSendWindow.
  [[nodiscard]] std::size_t SendWindow() const;
  // A smaller window than the send buffer, in bytes; 0 (the default): none.
  void SetSendWindowLimit(std::size_t bytes) { sendWindowLimit_ = bytes; }
  // Requests waiting behind the running one.
  [[nodiscard]] std::size_t QueuedRequests() const { return queue_.size(); }

  // CAPA in this connection: asked at all (whatever came of it), and what
  // the answer listed. A capability is the first word of an answer line,
  // compared without regard to letter case ("PIPELINING"); only a complete
  // answer counts.
  [[nodiscard]] bool CapaAsked() const { return capaAsked_; }
  [[nodiscard]] bool HasCapability(std::string_view name) const;

  // Header fields of the last RETR or TOP answer; emptied by every
  // transaction command.
  [[nodiscard]] const std::string& HeaderKeyword() const { return header_.keyword; }
  [[nodiscard]] const std::string& HeaderData() const { return header_.data; }
  [[nodiscard]] const std::string& HeaderFrom() const { return header_.from; }
  [[nodiscard]] const std::string& HeaderTo() const { return header_.to; }
  [[nodiscard]] const std::string& HeaderSubject() const { return header_.subject; }
  [[nodiscard]] const std::string& HeaderDate() const { return header_.date; }
  [[nodiscard]] const std::string& HeaderMessageId() const { return header_.messageId; }
  [[nodiscard]] const std::string& HeaderReplyTo() const { return header_.replyTo; }
  [[nodiscard]] const std::string& HeaderInReplyTo() const { return header_.inReplyTo; }
  [[nodiscard]] const std::string& HeaderReturnPath() const { return header_.returnPath; }
  [[nodiscard]] bool InHeader() const { return header_.inHeader; }

  // ---- Operations. Each raises Pop3Exception when it cannot start; every
  // later outcome arrives through OnRequestDone.
  virtual void Connect();
  virtual void Open();  // Connect, User, Pass as one request
  virtual void Auth();
  virtual void User();
  virtual void Pass();
  virtual void RPop();
  virtual void APop();
  // Done at its reply or at the close, whichever comes first, always with
  // Error 0; after the reply the client closes the connection itself.
  virtual void Quit();
  virtual void Stat();
  virtual void List();
  virtual void Retr();
  virtual void Top();
  virtual void Dele();
  virtual void Noop();
  virtual void Last();
  virtual void RSet();
  virtual void Uidl();
  // STLS: allowed in pop3WaitingUser on a connection without TLS. After the
  // positive reply the TLS handshake runs on the same connection, and the
  // request ends with it: Error 0, or kTlsHandshakeFailed with the reason in
  // ErrorMessage and LastResponse ("-ERR TLS handshake failed: ..."), the
  // connection then closed. A negative reply ends it with 500.
  virtual void Stls();
  // CAPA (RFC 2449): allowed once the server has greeted; the answer's
  // lines go to the capabilities (HasCapability).
  virtual void Capa();
  // Cancels a lookup or drops the connection; what the socket reports while
  // it aborts completes a running request. Posts nothing itself.
  virtual void Abort();

  // ---- Events (loop thread; an empty one is skipped).
  DisplayEvent OnDisplay;   // "> " + command sent, "< " + status line, refusal texts
  DisplayEvent OnResponse;  // every line received, before it is handled
  NotifyEvent OnMessageBegin;
  NotifyEvent OnMessageEnd;
  NotifyEvent OnMessageLine;  // the line is in LastResponse()
  NotifyEvent OnListBegin;
  NotifyEvent OnListEnd;
  NotifyEvent OnListLine;
  NotifyEvent OnUidlBegin;
  NotifyEvent OnUidlEnd;
  NotifyEvent OnUidlLine;
  NotifyEvent OnHeaderEnd;
  NotifyEvent OnStateChange;
  RequestDoneEvent OnRequestDone;
  SessionEvent OnSessionConnected;
  SessionEvent OnSessionClosed;

 protected:
  // The triggers: the places where the engine fires its events, so that a
  // derived client can add to them.
  virtual void TriggerSessionConnected(std::uint16_t errCode);
  virtual void TriggerResponse(const std::string& line);
  virtual void TriggerStateChange();
  // The one way a running request ends: decides its Error and its success,
  // runs the next step of a sequence, and otherwise reports the end once
  // (see the .cpp). For kClosed, `error` is the socket's close code. Does
  // nothing once the request has been reported.
  virtual void RequestDone(Pop3RequestEnd how, std::int32_t error);
  // Runs as each request (not a sequence's step) ends, before the next
  // queued one takes over, while the properties still hold its answer;
  // RequestSucceeded() and FinishedError() tell its outcome.
  virtual void RequestEnded() {}
  // Ends the running request as failed, with `line` as its LastResponse and
  // Error 500, and drops the connection, whose replies are no longer in
  // step. Returns false when no request was running.
  bool FailRequest(const std::string& line);
  // FailRequest with "-ERR " + the exception's class name + ": " + its text.
  bool FailRunningRequest(const std::exception& e);

  // For the blocking client's time-out.
  void SetErrorMessage(std::string text) { errorMessage_ = std::move(text); }
  void SetStatusCode(std::int32_t code) { statusCode_ = code; }

 private:
  using Handler = void (CustomPop3Client::*)();
  using EventMember = NotifyEvent CustomPop3Client::*;

  // The operations a sequence is made of, as bits of SequenceSteps.
  enum Step : unsigned {
    kStepNone = 0,
    kStepConnect = 1u << 0,
    kStepUser = 1u << 1,
    kStepPass = 1u << 2,
    kStepRPop = 1u << 3,
    kStepQuit = 1u << 4,
    kStepAPop = 1u << 5,
    kStepStat = 1u << 6,
    kStepList = 1u << 7,
    kStepUidl = 1u << 8,
    kStepRetr = 1u << 9,
    kStepTop = 1u << 10,
    kStepDele = 1u << 11,
    kStepNoop = 1u << 12,
    kStepRSet = 1u << 13,
    kStepLast = 1u << 14,
  };
  enum class LineParser { kNone, kNumbers, kNumberAndUidl, kCapability };
  // A transaction command waiting behind the running request.
  struct QueuedRequest {
    Pop3Request rqType;
    std::string command;
    Handler doneHandler;
  };

  // State changes. SetState fires OnStateChange; the AUTH exchanges move
  // between their steps without telling (SetStateQuietly).
  void SetState(Pop3EngineState state);
  void SetStateQuietly(Pop3EngineState state);

  // Small routines.
  void EnsureReady() const;
  void EnsureConnected() const;
  [[noreturn]] void Refuse(const std::string& text);  // "-ERR " refusals
  bool CheckOK();
  void NoteError();
  void ShowResponse();
  void Display(const std::string& text);
  void SendCommandLine(const std::string& command);

  void StartCommand(Pop3Request rqType, const std::string& command,
                    Pop3ProtocolState nextProtocolState, Handler doneHandler);
  // Makes the request the running one, waiting for its reply.
  void BeginRequest(Pop3Request rqType, Pop3ProtocolState nextProtocolState, Handler doneHandler);
  // Whether a command of this type started now goes into the queue.
  [[nodiscard]] bool Queues(Pop3Request rqType) const;
  // Sends the queued commands that fit the send window.
  void SendQueued();
  // The first queued request becomes the running one (sent now if it was
  // still held back).
  void RunQueued(bool send);
  // Posts the report of the request that has just ended.
  void PostRequestDone(std::int32_t error);
  void StartTransactionCommand(Pop3Request rqType, const std::string& word,
                               const std::string& argument, Handler doneHandler);
  void StartMultiLine(EventMember beginEvent, EventMember lineEvent, EventMember endEvent,
                      LineParser parser);
  void FireEvent(EventMember event);

  // Socket event handlers.
  void HandleLookupDone(std::uint16_t errCode);
  void HandleSessionConnected(std::uint16_t errCode);
  void HandleData(std::uint16_t errCode);
  void HandleSessionClosed(std::uint16_t errCode);
  void ConnectSocket();

  // Line handlers. HandleGreeting returns true when the rest of the data must
  // wait (the connection is being closed after a refusal).
  bool HandleGreeting(std::uint16_t errCode);
  void HandleReply();
  void HandleMultiLine();

  // Continuations run after a positive reply.
  void ParseStatReply();
  void ParseListReply();
  void ParseUidlReply();
  void ParseLastReply();
  void StartListAnswer();
  void StartUidlAnswer();
  void StartMessageAnswer();
  void StartCapaAnswer();
  void AuthLoginSendUser();
  void AuthLoginSendPass();
  void AuthCramMd5Answer();
  void AuthCramSha1Answer();
  void AuthCramAnswer(bool sha1);
  void AuthOAuthSendToken();
  void AuthOAuthTokenReply();
  void AuthOAuthChallengeAnswered();
  void StlsStartHandshake();

  // TLS.
  void HandleTlsHandshakeDone(std::uint16_t errCode);
  // "-ERR " + the text of a TLS failure code + ": " + the reason.
  [[nodiscard]] std::string TlsErrorLine(std::uint16_t errCode) const;

  // Completion.
  void HandleRequestDoneMessage(Pop3Request rqType, std::int32_t error);
  // What the close of the connection leaves in the properties of the
  // request it cut short.
  void NoteClose(std::uint16_t errCode);
  // False, after failing the request, when a line of a LIST or UIDL answer
  // is longer than such a line can be.
  bool WithinListingLimit();

  // Sequences.
  void StartSequence(Pop3Request rqType, unsigned steps);
  void RunNextStep();
  void ContinueSequence();  // RunNextStep as run from RequestDone
  void RunStep(unsigned step);

  EventLoop& loop_;
  std::unique_ptr<AsyncSocket> socket_;
  // Expires with the client, so a completion still queued in the loop when
  // the client is destroyed is never delivered.
  std::shared_ptr<int> alive_;

  std::string host_;
  std::string localAddr_ = "0.0.0.0";
  std::string port_ = "pop3";
  std::string userName_;
  std::string passWord_;
  Pop3AuthType authType_ = Pop3AuthType::popAuthNone;
  std::string errorMessage_;
  std::string lastResponse_;
  Pop3ProtocolState protocolState_ = Pop3ProtocolState::pop3Disconnected;
  Pop3ProtocolState nextProtocolState_ = Pop3ProtocolState::pop3Disconnected;
  std::int32_t msgCount_ = 0;
  std::int32_t msgSize_ = 0;
  std::int32_t msgLines_ = 0;
  std::int32_t msgNum_ = 0;
  std::string msgUidl_;
  std::int32_t tag_ = 0;

  Pop3EngineState state_ = Pop3EngineState::pop3Idle;
  bool connected_ = false;
  Pop3Request requestType_ = Pop3Request::pop3Connect;
  // The command actually running (a sequence's step), unlike requestType_.
  Pop3Request command_ = Pop3Request::pop3Connect;
  bool doneReported_ = true;      // no request running
  bool requestSucceeded_ = true;  // as Error 0 and RequestResult 0 say
  std::int32_t requestResult_ = 0;
  std::int32_t finishedError_ = 0;
  std::int32_t statusCode_ = 0;
  Pop3LineBuffer receiveBuffer_;

  Handler nextHandler_ = nullptr;
  Handler doneHandler_ = nullptr;
  Handler nextRequest_ = nullptr;

  unsigned sequenceSteps_ = kStepNone;
  unsigned currentStep_ = kStepNone;
  std::int32_t sequenceResult_ = 0;
  std::int32_t stepError_ = 0;  // the Error the last step ended with
  bool inSequence_ = false;

  std::string timestamp_;
  std::string authErrorChallenge_;
  // Shown through OnDisplay instead of the next command line, which carries a
  // secret that must not reach any log ("> " is put before it).
  std::string hiddenCommandText_;

  // Bytes of the running TOP answer so far, line ends included.
  std::uint64_t answerBytes_ = 0;

  EventMember lineEvent_ = nullptr;
  EventMember endEvent_ = nullptr;
  LineParser lineParser_ = LineParser::kNone;

  Pop3HeaderFields header_;

  bool queueRequests_ = false;
  std::deque<QueuedRequest> queue_;
  // The running request came from the queue or has requests queued behind
  // it: its report names its own type.
  bool runningQueued_ = false;
  // Command bytes sent whose answers have not ended, the running one's
  // included.
  std::size_t bytesAhead_ = 0;
  std::size_t runningBytes_ = 0;
  // How many of the queued requests, from the front, have been sent.
  std::size_t queuedSent_ = 0;
  mutable std::size_t sendWindow_ = 0;  // 0: not asked yet in this connection
  std::size_t sendWindowLimit_ = 0;

  bool outOfStep_ = false;
  bool capaAsked_ = false;
  bool capaComplete_ = false;
  std::vector<std::string> capabilities_;

  SocketTlsMode tlsMode_ = SocketTlsMode::tlsOff;
  std::string tlsHostName_;
};

// The published client; it adds nothing to the engine.
class Pop3Client : public CustomPop3Client {
 public:
  using CustomPop3Client::CustomPop3Client;
};

}  // namespace corvel
