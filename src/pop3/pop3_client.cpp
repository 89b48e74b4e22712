#include "pop3/pop3_client.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "codec/ascii.h"
#include "net/socket_errors.h"
#include "pop3/pop3_parse.h"

namespace corvel {
namespace {

using PS = Pop3ProtocolState;
using ES = Pop3EngineState;
using RQ = Pop3Request;
using End = Pop3RequestEnd;

std::string ClassNameOf(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
  return "Exception";
}

// The commands that leave the protocol state as it is and may therefore wait
// in a queue behind each other.
bool IsTransactionCommand(Pop3Request rqType) {
  switch (rqType) {
    case RQ::pop3Stat:
    case RQ::pop3List:
    case RQ::pop3Uidl:
    case RQ::pop3Retr:
    case RQ::pop3Top:
    case RQ::pop3Dele:
    case RQ::pop3Noop:
    case RQ::pop3Last:
    case RQ::pop3RSet:
      return true;
    default:
      return false;
  }
}

std::string SocketErrorLine(std::uint16_t errCode) {
  return "-ERR " + SocketErrorText(errCode) + " (Winsock error #" + std::to_string(errCode) + ")";
}

}  // namespace

CustomPop3Client::CustomPop3Client(EventLoop& loop)
    : loop_(loop), socket_(std::make_unique<AsyncSocket>(loop)), alive_(std::make_shared<int>(0)) {
  socket_->OnSessionClosed = [this](std::uint16_t errCode) { HandleSessionClosed(errCode); };
  socket_->OnTlsHandshakeDone = [this](std::uint16_t errCode) { HandleTlsHandshakeDone(errCode); };
  // A command goes out as soon as it is given: pipelined commands sent one
  // after another must not wait for the server to acknowledge the first.
  socket_->SetComponentOptions(socket_->ComponentOptions() | wsoTcpNoDelay);
}

CustomPop3Client::~CustomPop3Client() {
  alive_.reset();
  // The socket may still report its close while it is being destroyed; the
  // client is half gone by then and must not hear of it.
  socket_->OnDnsLookupDone = nullptr;
  socket_->OnSessionConnected = nullptr;
  socket_->OnDataAvailable = nullptr;
  socket_->OnDataSent = nullptr;
  socket_->OnSessionClosed = nullptr;
  socket_->OnTlsHandshakeDone = nullptr;
  socket_.reset();
}

// ---- Small routines.

void CustomPop3Client::SetState(Pop3EngineState state) {
  if (state == state_) return;
  state_ = state;
  TriggerStateChange();
}

void CustomPop3Client::SetStateQuietly(Pop3EngineState state) { state_ = state; }

void CustomPop3Client::EnsureReady() const {
  if (state_ != ES::pop3Idle && state_ != ES::pop3StepReady) {
    throw Pop3Exception("POP3 component not ready");
  }
}

void CustomPop3Client::EnsureConnected() const {
  if (!connected_) throw Pop3Exception("POP3 component not connected");
}

void CustomPop3Client::Refuse(const std::string& text) {
  errorMessage_ = text;
  Display(text);
  throw Pop3Exception(text);
}

bool CustomPop3Client::CheckOK() {
  const bool positive = !lastResponse_.empty() && lastResponse_[0] == '+';
  statusCode_ = positive ? 0 : kPop3NegativeReply;
  return positive;
}

void CustomPop3Client::NoteError() {
  if (errorMessage_.empty()) errorMessage_ = lastResponse_;
}

void CustomPop3Client::ShowResponse() {
  if (OnDisplay) OnDisplay("< " + lastResponse_);
}

void CustomPop3Client::Display(const std::string& text) {
  if (OnDisplay) OnDisplay(text);
}

void CustomPop3Client::SendCommandLine(const std::string& command) {
  const std::string shown = std::exchange(hiddenCommandText_, {});
  if (OnDisplay) OnDisplay("> " + (shown.empty() ? command : shown));
  std::string line;
  line.reserve(command.size() + 2);
  line += command;
  line += "\r\n";
  socket_->SendText(line);
}

void CustomPop3Client::TriggerSessionConnected(std::uint16_t errCode) {
  if (OnSessionConnected) OnSessionConnected(errCode);
}

void CustomPop3Client::TriggerResponse(const std::string& line) {
  if (OnResponse) OnResponse(line);
}

void CustomPop3Client::TriggerStateChange() {
  if (OnStateChange) OnStateChange();
}

void CustomPop3Client::FireEvent(EventMember event) {
  if (event != nullptr && this->*event) (this->*event)();
}

// ---- Starting commands.

void CustomPop3Client::StartCommand(Pop3Request rqType, const std::string& command,
                                    Pop3ProtocolState nextProtocolState, Handler doneHandler) {
  if (Queues(rqType)) {
    EnsureConnected();
    queue_.push_back({rqType, command, doneHandler});
    runningQueued_ = true;
    SendQueued();
    return;
  }
  EnsureReady();
  EnsureConnected();
  BeginRequest(rqType, nextProtocolState, doneHandler);
  SetState(ES::pop3WaitingReply);
  runningQueued_ = false;
  runningBytes_ = command.size() + 2;
  bytesAhead_ = runningBytes_;
  SendCommandLine(command);
}

void CustomPop3Client::BeginRequest(Pop3Request rqType, Pop3ProtocolState nextProtocolState,
                                    Handler doneHandler) {
  if (!inSequence_) requestType_ = rqType;
  command_ = rqType;
  doneReported_ = false;
  nextHandler_ = &CustomPop3Client::HandleReply;
  nextProtocolState_ = nextProtocolState;
  doneHandler_ = doneHandler;
}

bool CustomPop3Client::Queues(Pop3Request rqType) const {
  return queueRequests_ && !inSequence_ && state_ == ES::pop3WaitingReply &&
         IsTransactionCommand(rqType) && IsTransactionCommand(command_);
}

std::size_t CustomPop3Client::SendWindow() const {
  if (sendWindow_ == 0) {
    const std::int32_t size = socket_->SendBufferSize();
    sendWindow_ = size > 0 ? static_cast<std::size_t>(size) : kPop3DefaultSendWindow;
  }
  return sendWindowLimit_ > 0 ? std::min(sendWindow_, sendWindowLimit_) : sendWindow_;
}

void CustomPop3Client::SendQueued() {
  // Commands go out ahead of their answers only as far as the send buffer
  // takes them: the client never waits on a full buffer while the server
  // waits for it to read (RFC 2449).
  while (queuedSent_ < queue_.size()) {
    const std::string& command = queue_[queuedSent_].command;
    if (bytesAhead_ + command.size() + 2 > SendWindow()) return;
    bytesAhead_ += command.size() + 2;
    ++queuedSent_;
    SendCommandLine(command);
  }
}

void CustomPop3Client::RunQueued(bool send) {
  QueuedRequest request = std::move(queue_.front());
  queue_.pop_front();
  const bool sent = queuedSent_ > 0;
  if (sent) --queuedSent_;
  bytesAhead_ -= std::min(bytesAhead_, runningBytes_);
  runningBytes_ = request.command.size() + 2;
  runningQueued_ = true;
  BeginRequest(request.rqType, PS::pop3Transaction, request.doneHandler);
  // Its answer is the next one: the header capture starts afresh for it.
  header_.Reset();
  if (!send) return;  // it ends at once, unanswered
  SetState(ES::pop3WaitingReply);
  if (!sent) {
    bytesAhead_ += runningBytes_;
    SendCommandLine(request.command);
  }
  SendQueued();
}

void CustomPop3Client::StartTransactionCommand(Pop3Request rqType, const std::string& word,
                                               const std::string& argument, Handler doneHandler) {
  if (protocolState_ != PS::pop3Transaction) Refuse("-ERR " + word + " command invalid now");
  // A command refused because another request runs must leave that
  // request's header capture alone, so the capture is reset only once the
  // command is sure to start; a queued one's, when its answer comes next.
  if (!Queues(rqType)) {
    EnsureReady();
    EnsureConnected();
    header_.Reset();
  }
  const std::string command = argument.empty() ? word : word + " " + argument;
  StartCommand(rqType, command, PS::pop3Transaction, doneHandler);
}

// ---- Operations.

void CustomPop3Client::Connect() {
  EnsureReady();
  if (connected_) throw Pop3Exception("POP3 component already connected");
  if (!inSequence_) requestType_ = RQ::pop3Connect;
  command_ = RQ::pop3Connect;
  currentStep_ = kStepConnect;
  doneReported_ = false;
  receiveBuffer_.Clear();
  requestResult_ = 0;
  timestamp_.clear();
  errorMessage_.clear();
  sendWindow_ = 0;
  outOfStep_ = false;
  capaAsked_ = false;
  capaComplete_ = false;
  capabilities_.clear();
  socket_->OnDataSent = nullptr;
  socket_->OnDnsLookupDone = [this](std::uint16_t errCode) { HandleLookupDone(errCode); };
  SetState(ES::pop3Resolving);
  try {
    socket_->DnsLookup(host_);
  } catch (...) {
    // The operation raises, so its request never started: nothing is
    // reported for it.
    doneReported_ = true;
    Abort();
    throw;
  }
}

void CustomPop3Client::Open() { StartSequence(RQ::pop3Open, kStepConnect | kStepUser | kStepPass); }

void CustomPop3Client::User() {
  if (protocolState_ > PS::pop3WaitingUser) Refuse("-ERR USER command invalid now");
  StartCommand(RQ::pop3User, "USER " + TrimControl(userName_), PS::pop3WaitingPass, nullptr);
  currentStep_ = kStepUser;
}

void CustomPop3Client::Pass() {
  if (protocolState_ > PS::pop3WaitingPass) Refuse("-ERR PASS command invalid now");
  StartCommand(RQ::pop3Pass, "PASS " + TrimControl(passWord_), PS::pop3Transaction, nullptr);
  currentStep_ = kStepPass;
}

void CustomPop3Client::RPop() {
  if (protocolState_ > PS::pop3WaitingPass) Refuse("-ERR RPOP command invalid now");
  StartCommand(RQ::pop3RPop, "RPOP " + TrimControl(passWord_), PS::pop3Transaction, nullptr);
  currentStep_ = kStepRPop;
}

void CustomPop3Client::Quit() {
  EnsureReady();
  if (!connected_) {
    // Nothing to log out from: done at once, whatever RequestResult says.
    currentStep_ = kStepQuit;
    requestType_ = RQ::pop3Quit;
    command_ = RQ::pop3Quit;
    doneReported_ = false;
    RequestDone(End::kReply, 0);
    return;
  }
  StartCommand(RQ::pop3Quit, "QUIT", PS::pop3Disconnected, nullptr);
  currentStep_ = kStepQuit;
}

void CustomPop3Client::Stat() {
  StartTransactionCommand(RQ::pop3Stat, "STAT", "", &CustomPop3Client::ParseStatReply);
  currentStep_ = kStepStat;
}

void CustomPop3Client::List() {
  if (msgNum_ > 0) {
    StartTransactionCommand(RQ::pop3List, "LIST", std::to_string(msgNum_),
                            &CustomPop3Client::ParseListReply);
  } else {
    StartTransactionCommand(RQ::pop3List, "LIST", "", &CustomPop3Client::StartListAnswer);
  }
  currentStep_ = kStepList;
}

void CustomPop3Client::Uidl() {
  if (msgNum_ > 0) {
    StartTransactionCommand(RQ::pop3Uidl, "UIDL", std::to_string(msgNum_),
                            &CustomPop3Client::ParseUidlReply);
  } else {
    StartTransactionCommand(RQ::pop3Uidl, "UIDL", "", &CustomPop3Client::StartUidlAnswer);
  }
  currentStep_ = kStepUidl;
}

void CustomPop3Client::Retr() {
  StartTransactionCommand(RQ::pop3Retr, "RETR", std::to_string(msgNum_),
                          &CustomPop3Client::StartMessageAnswer);
  currentStep_ = kStepRetr;
}

void CustomPop3Client::Top() {
  if (msgLines_ < 0) throw Pop3Exception("Invalid MsgLines for TOP command");
  StartTransactionCommand(RQ::pop3Top, "TOP",
                          std::to_string(msgNum_) + " " + std::to_string(msgLines_),
                          &CustomPop3Client::StartMessageAnswer);
  currentStep_ = kStepTop;
}

void CustomPop3Client::Dele() {
  StartTransactionCommand(RQ::pop3Dele, "DELE", std::to_string(msgNum_), nullptr);
  currentStep_ = kStepDele;
}

void CustomPop3Client::Noop() {
  StartTransactionCommand(RQ::pop3Noop, "NOOP", "", nullptr);
  currentStep_ = kStepNoop;
}

void CustomPop3Client::Last() {
  StartTransactionCommand(RQ::pop3Last, "LAST", "", &CustomPop3Client::ParseLastReply);
  currentStep_ = kStepLast;
}

void CustomPop3Client::RSet() {
  StartTransactionCommand(RQ::pop3RSet, "RSET", "", nullptr);
  currentStep_ = kStepRSet;
}

void CustomPop3Client::Capa() {
  // Once the server has greeted, before the login or after it (RFC 2449).
  if (protocolState_ == PS::pop3Disconnected) Refuse("-ERR CAPA command invalid now");
  StartCommand(RQ::pop3Capa, "CAPA", protocolState_, &CustomPop3Client::StartCapaAnswer);
  capaAsked_ = true;
  capaComplete_ = false;
  capabilities_.clear();
}

bool CustomPop3Client::HasCapability(std::string_view name) const {
  if (!capaComplete_) return false;
  for (const std::string& line : capabilities_) {
    if (EqualsIgnoreAsciiCase(std::string_view(line).substr(0, line.find(' ')), name)) return true;
  }
  return false;
}

void CustomPop3Client::Abort() {
  SetState(ES::pop3Aborting);
  // What the socket reports while it aborts (the lookup cancelled, the
  // connection closed) normally ends a running request; one it left running
  // ends here, so the client never stays "not ready".
  auto endLeftOver = [this] {
    if (!doneReported_) RequestDone(End::kAborted, kPop3Aborted);
    SetState(ES::pop3Idle);
  };
  try {
    socket_->CancelLookup();
    socket_->Abort();
  } catch (...) {
    endLeftOver();
    throw;
  }
  endLeftOver();
}

// ---- Socket events.

void CustomPop3Client::HandleLookupDone(std::uint16_t errCode) {
  // A lookup ends only while the client waits for it (or is aborting it).
  if (state_ != ES::pop3Resolving && state_ != ES::pop3Aborting) return;
  try {
    if (errCode != 0) {
      lastResponse_ = SocketErrorLine(errCode);
      statusCode_ = kPop3NegativeReply;
      requestResult_ = errCode;
      NoteError();
      RequestDone(End::kFailed, errCode);
      return;
    }
    ConnectSocket();
  } catch (const std::exception& e) {
    FailRunningRequest(e);
  }
}

void CustomPop3Client::ConnectSocket() {
  try {
    const std::string address = socket_->DnsResult();
    socket_->SetAddr(address);
    socket_->SetProto("tcp");
    socket_->SetPort(port_);
    socket_->SetLocalAddr(localAddr_);
    socket_->SetTlsMode(tlsMode_);
    socket_->SetTlsHostName(tlsHostName_.empty() ? host_ : tlsHostName_);
    socket_->OnSessionConnected = [this](std::uint16_t errCode) {
      HandleSessionConnected(errCode);
    };
    socket_->OnDataAvailable = [this](std::uint16_t errCode) { HandleData(errCode); };
    SetState(ES::pop3Connecting);
    socket_->Connect();
  } catch (const std::exception& e) {
    lastResponse_ = "-ERR " + ClassNameOf(e) + ": " + e.what();
    statusCode_ = kPop3NegativeReply;
    requestResult_ = kPop3NegativeReply;
    NoteError();
    RequestDone(End::kFailed, kPop3NegativeReply);
    // A half-opened socket would refuse the endpoint of the next Connect.
    if (socket_->State() != SocketState::wsClosed) socket_->Abort();
  }
}

void CustomPop3Client::HandleSessionConnected(std::uint16_t errCode) {
  try {
    if (errCode != 0) {
      lastResponse_ =
          errCode == kTlsHandshakeFailed ? TlsErrorLine(errCode) : SocketErrorLine(errCode);
      statusCode_ = kPop3NegativeReply;
      connected_ = false;
      requestResult_ = errCode;
      NoteError();
      RequestDone(End::kFailed, errCode);
      socket_->Close();
      SetState(ES::pop3Idle);
      return;
    }
    connected_ = true;
    SetState(ES::pop3WaitingGreeting);
  } catch (const std::exception& e) {
    FailRunningRequest(e);
  }
}

void CustomPop3Client::HandleSessionClosed(std::uint16_t errCode) {
  connected_ = false;
  if (!doneReported_) NoteClose(errCode);
  try {
    if (OnSessionClosed) OnSessionClosed(errCode);
    RequestDone(End::kClosed, errCode);
  } catch (const std::exception& e) {
    FailRunningRequest(e);
  }
  protocolState_ = PS::pop3Disconnected;
}

void CustomPop3Client::NoteClose(std::uint16_t errCode) {
  if (requestResult_ != 0) return;  // the request has already failed
  if (state_ == ES::pop3WaitingGreeting) {
    // Closed before any greeting: the connection has failed.
    lastResponse_ = SocketErrorLine(kPop3ConnectionClosed);
    statusCode_ = kPop3NegativeReply;
    requestResult_ = kPop3ConnectionClosed;
    NoteError();
  } else if (errCode == kTlsProtocolError) {
    // The session broke: what came before the broken record may be cut
    // short.
    lastResponse_ = TlsErrorLine(errCode);
    statusCode_ = kPop3NegativeReply;
    requestResult_ = errCode;
    errorMessage_ = lastResponse_;
  } else if (command_ == RQ::pop3Stls && state_ == ES::pop3WaitingReply) {
    // Closed before TLS stood: the STLS request protected nothing.
    lastResponse_ = SocketErrorLine(kPop3ConnectionClosed);
    statusCode_ = kPop3NegativeReply;
    requestResult_ = kPop3ConnectionClosed;
    NoteError();
  }
}

void CustomPop3Client::HandleData(std::uint16_t errCode) {
  const int freeSpace = receiveBuffer_.FreeSpace();
  if (freeSpace > 0) {
    const int count = socket_->Receive(receiveBuffer_.WritePosition(), freeSpace);
    if (count < 1) return;
    receiveBuffer_.Commit(count);
  } else {
    // 4093 bytes and no line end: hand them over as one line.
    receiveBuffer_.ForceLineEnd();
  }
  while (receiveBuffer_.NextLine(lastResponse_)) {
    try {
      TriggerResponse(lastResponse_);
      switch (state_) {
        case ES::pop3WaitingGreeting:
          if (HandleGreeting(errCode)) return;
          break;
        case ES::pop3WaitingReply:
          if (nextHandler_ == nullptr) throw Pop3Exception("Program error: NextHandler is nil");
          (this->*nextHandler_)();
          break;
        default:
          ShowResponse();  // nobody waits for this line
          break;
      }
    } catch (const std::exception& e) {
      if (FailRunningRequest(e)) return;
    }
  }
}

// ---- Line handlers.

bool CustomPop3Client::HandleGreeting(std::uint16_t errCode) {
  ShowResponse();
  if (!CheckOK()) {
    NoteError();
    requestResult_ = statusCode_;
    // The close completes the request (with 10004); the lines after the
    // refusal are not looked at.
    socket_->Close();
    return true;
  }
  const size_t open = lastResponse_.find('<');
  if (open != std::string::npos) {
    const size_t close = lastResponse_.find('>', open);
    if (close != std::string::npos) timestamp_ = lastResponse_.substr(open, close - open + 1);
  }
  protocolState_ = PS::pop3WaitingUser;
  SetState(ES::pop3Connected);
  TriggerSessionConnected(errCode);
  RequestDone(End::kReply, 0);
  return false;
}

void CustomPop3Client::HandleReply() {
  ShowResponse();
  if (!WithinListingLimit()) return;
  if (IsTransactionCommand(command_) &&
      (lastResponse_.empty() || (lastResponse_[0] != '+' && lastResponse_[0] != '-'))) {
    // No status line: the line belongs to an earlier answer that ran on (a
    // refusal followed by lines of a message, say). The answers to come,
    // also those of commands sent ahead, can no longer be told apart.
    outOfStep_ = true;
    FailRequest("-ERR the server's answer did not fit its command");
    return;
  }
  if (CheckOK()) {
    requestResult_ = 0;
    protocolState_ = nextProtocolState_;
    if (doneHandler_ != nullptr) {
      (this->*doneHandler_)();
    } else {
      RequestDone(End::kReply, 0);
    }
  } else {
    requestResult_ = statusCode_;
    NoteError();
    RequestDone(End::kReply, kPop3NegativeReply);
  }
}

bool CustomPop3Client::WithinListingLimit() {
  if (command_ != RQ::pop3List && command_ != RQ::pop3Uidl) return true;
  if (lastResponse_.size() <= kPop3MaxListingLine) return true;
  FailRequest(std::string("-ERR ") + (command_ == RQ::pop3List ? "LIST" : "UIDL") +
              " answer line longer than " + std::to_string(kPop3MaxListingLine) + " bytes");
  return false;
}

void CustomPop3Client::StartMultiLine(EventMember beginEvent, EventMember lineEvent,
                                      EventMember endEvent, LineParser parser) {
  lineEvent_ = lineEvent;
  endEvent_ = endEvent;
  lineParser_ = parser;
  answerBytes_ = 0;
  FireEvent(beginEvent);
  nextHandler_ = &CustomPop3Client::HandleMultiLine;
}

void CustomPop3Client::HandleMultiLine() {
  if (!connected_) {
    errorMessage_ = "-ERR Disconneced unexpectedly";
    requestResult_ = kPop3NegativeReply;
    Display(errorMessage_);
    RequestDone(End::kFailed, kPop3NegativeReply);
    return;
  }
  if (lastResponse_ == ".") {
    if (lineParser_ == LineParser::kCapability) capaComplete_ = true;
    FireEvent(endEvent_);
    lastResponse_.clear();
    nextHandler_ = nullptr;
    RequestDone(End::kReply, 0);
    return;
  }
  if (!WithinListingLimit()) return;
  if (command_ == RQ::pop3Top) {
    answerBytes_ += lastResponse_.size() + 2;
    if (answerBytes_ > kPop3MaxTopAnswer) {
      FailRequest("-ERR TOP answer longer than " + std::to_string(kPop3MaxTopAnswer) + " bytes");
      return;
    }
  }
  // Dot-stuffing: ".." at the start stands for one dot; a single leading dot
  // is left as it is.
  if (lastResponse_.size() >= 2 && lastResponse_[0] == '.' && lastResponse_[1] == '.') {
    lastResponse_.erase(0, 1);
  }
  if (header_.inHeader && CaptureHeaderLine(header_, lastResponse_)) {
    FireEvent(&CustomPop3Client::OnHeaderEnd);
  }
  switch (lineParser_) {
    case LineParser::kNumbers:
      ParseNumbers(lastResponse_, msgNum_, msgSize_);
      break;
    case LineParser::kNumberAndUidl:
      ParseNumberAndUidl(lastResponse_, msgNum_, msgUidl_);
      break;
    case LineParser::kCapability:
      if (capabilities_.size() < kPop3MaxCapabilities &&
          lastResponse_.size() <= kPop3MaxListingLine) {
        capabilities_.push_back(lastResponse_);
      }
      break;
    case LineParser::kNone:
      break;
  }
  FireEvent(lineEvent_);
}

// ---- Continuations after a positive reply.

void CustomPop3Client::ParseStatReply() {
  ParseNumbers(lastResponse_, msgCount_, msgSize_);
  RequestDone(End::kReply, 0);
}

void CustomPop3Client::ParseListReply() {
  ParseNumbers(lastResponse_, msgNum_, msgSize_);
  RequestDone(End::kReply, 0);
}

void CustomPop3Client::ParseUidlReply() {
  ParseNumberAndUidl(lastResponse_, msgNum_, msgUidl_);
  RequestDone(End::kReply, 0);
}

void CustomPop3Client::ParseLastReply() {
  if (!ParseNumbers(lastResponse_, msgNum_, msgSize_)) {
    // "+OK 5": the one number is the highest message number accessed.
    msgNum_ = ParseFirstNumber(lastResponse_);
    msgSize_ = 0;
  }
  RequestDone(End::kReply, 0);
}

void CustomPop3Client::StartListAnswer() {
  StartMultiLine(&CustomPop3Client::OnListBegin, &CustomPop3Client::OnListLine,
                 &CustomPop3Client::OnListEnd, LineParser::kNumbers);
}

void CustomPop3Client::StartUidlAnswer() {
  StartMultiLine(&CustomPop3Client::OnUidlBegin, &CustomPop3Client::OnUidlLine,
                 &CustomPop3Client::OnUidlEnd, LineParser::kNumberAndUidl);
}

void CustomPop3Client::StartMessageAnswer() {
  StartMultiLine(&CustomPop3Client::OnMessageBegin, &CustomPop3Client::OnMessageLine,
                 &CustomPop3Client::OnMessageEnd, LineParser::kNone);
}

void CustomPop3Client::StartCapaAnswer() {
  StartMultiLine(nullptr, nullptr, nullptr, LineParser::kCapability);
}

// ---- Completion.

// Every request ends here, whatever ended it. The rules:
// - a request ends once; later reports (the close after a reply) change
//   nothing but what the close itself updates;
// - QUIT is done at its reply or at the close, whichever comes first, and
//   always with Error 0; the engine then closes its side, so a server that
//   answers and never closes holds nothing;
// - a close that cuts a request short ends it with Error 10004;
// - a step of a sequence hands over to the next step; the sequence reports
//   once, at its end;
// - a queued request takes over when the one before it has ended; if that
//   one did not end by its answer, the connection is gone or out of step,
//   and every request queued behind it ends with the same Error, unanswered;
// - the request succeeded when it ended with Error 0 and RequestResult 0.
void CustomPop3Client::RequestDone(Pop3RequestEnd how, std::int32_t error) {
  if (doneReported_) return;
  doneReported_ = true;
  if (how == End::kClosed) error = kPop3ConnectionClosed;
  const bool quit = command_ == RQ::pop3Quit;
  if (quit) error = 0;
  if (nextRequest_ != nullptr) {
    stepError_ = error;
    if (state_ != ES::pop3Aborting) SetState(ES::pop3StepReady);
    (this->*nextRequest_)();
    return;
  }
  for (;;) {
    finishedError_ = error;
    requestSucceeded_ = error == 0 && requestResult_ == 0;
    RequestEnded();
    if (queue_.empty()) break;
    PostRequestDone(error);
    RunQueued(how == End::kReply);
    if (how == End::kReply) return;
    doneReported_ = true;
  }
  SetState(ES::pop3Idle);
  inSequence_ = false;
  PostRequestDone(error);
  runningQueued_ = false;
  queuedSent_ = 0;
  bytesAhead_ = 0;
  if (quit && connected_) socket_->Close();
}

void CustomPop3Client::PostRequestDone(std::int32_t error) {
  // Nobody to tell: the loop is spared a turn. (A handler assigned after a
  // request has ended hears of the next one.)
  if (!OnRequestDone) return;
  // A request that ran alone is reported with the type running when the
  // report is delivered; of queued requests, each with its own.
  std::optional<Pop3Request> own;
  if (runningQueued_) own = requestType_;
  std::weak_ptr<int> token = alive_;
  loop_.Post([this, token, error, own] {
    if (token.expired()) return;
    HandleRequestDoneMessage(own.value_or(requestType_), error);
  });
}

void CustomPop3Client::HandleRequestDoneMessage(Pop3Request rqType, std::int32_t error) {
  if (OnRequestDone) OnRequestDone(rqType, static_cast<std::uint16_t>(error));
}

bool CustomPop3Client::FailRunningRequest(const std::exception& e) {
  return FailRequest("-ERR " + ClassNameOf(e) + ": " + e.what());
}

bool CustomPop3Client::FailRequest(const std::string& line) {
  // With no request running, the failure concerns a line nobody waited
  // for: dropping it loses nothing.
  if (state_ == ES::pop3Idle) return false;
  lastResponse_ = line;
  statusCode_ = kPop3NegativeReply;
  requestResult_ = kPop3NegativeReply;
  NoteError();
  nextHandler_ = nullptr;
  doneHandler_ = nullptr;
  nextRequest_ = nullptr;
  sequenceSteps_ = kStepNone;
  doneReported_ = false;
  RequestDone(End::kFailed, kPop3NegativeReply);
  // The lines still to come belong to the request just ended and would be
  // taken as replies to the next one: what is held is dropped, and so is
  // the connection.
  receiveBuffer_.Clear();
  if (socket_->State() != SocketState::wsClosed) {
    try {
      socket_->Abort();
    } catch (const std::exception&) {
      // The request has already ended with its error; a connection that
      // cannot even be aborted is closed by the socket's own failure path.
    }
  }
  return true;
}

// ---- Sequences.

void CustomPop3Client::StartSequence(Pop3Request rqType, unsigned steps) {
  if (connected_ && (steps & kStepConnect) != 0) {
    throw Pop3Exception("pop3 component already connected");
  }
  EnsureReady();
  requestType_ = rqType;
  requestResult_ = 0;
  sequenceSteps_ = steps;
  currentStep_ = kStepNone;
  sequenceResult_ = 0;
  stepError_ = 0;
  inSequence_ = true;
  lastResponse_.clear();
  errorMessage_.clear();
  try {
    RunNextStep();
  } catch (...) {
    // The first step could not start: there is no sequence to continue.
    sequenceSteps_ = kStepNone;
    nextRequest_ = nullptr;
    inSequence_ = false;
    SetState(ES::pop3Idle);
    throw;
  }
}

void CustomPop3Client::RunNextStep() {
  if (state_ == ES::pop3Aborting) {
    sequenceSteps_ = kStepNone;
    sequenceResult_ = kPop3Aborted;
    errorMessage_ = "426 Operation aborted.";
  }
  nextRequest_ = &CustomPop3Client::ContinueSequence;
  if (requestResult_ != 0) {
    sequenceResult_ = requestResult_;
    const bool quitLeft = currentStep_ != kStepQuit && (sequenceSteps_ & kStepQuit) != 0;
    sequenceSteps_ = quitLeft ? kStepQuit : kStepNone;
  }
  static constexpr unsigned kOrder[] = {kStepConnect, kStepUser, kStepPass, kStepRPop, kStepDele,
                                        kStepNoop,    kStepList, kStepRSet, kStepAPop, kStepRetr,
                                        kStepTop,     kStepStat, kStepUidl, kStepLast, kStepQuit};
  for (unsigned step : kOrder) {
    if ((sequenceSteps_ & step) == 0) continue;
    sequenceSteps_ &= ~step;
    currentStep_ = step;
    RunStep(step);
    return;
  }
  sequenceSteps_ = kStepNone;
  nextRequest_ = nullptr;
  // A last step that the close cut short leaves the sequence unfinished.
  if (sequenceResult_ == 0) sequenceResult_ = stepError_;
  // The report is the sequence's, not its last step's.
  command_ = requestType_;
  doneReported_ = false;
  RequestDone(End::kReply, sequenceResult_);
}

void CustomPop3Client::ContinueSequence() {
  try {
    RunNextStep();
  } catch (const std::exception& e) {
    // The next step cannot start (for example PASS after the server closed
    // the connection during USER). The sequence ends here with an error:
    // 10004 when the connection is gone, 500 otherwise.
    const std::int32_t code = connected_ ? kPop3NegativeReply : kPop3ConnectionClosed;
    lastResponse_ = "-ERR " + ClassNameOf(e) + ": " + e.what();
    statusCode_ = kPop3NegativeReply;
    requestResult_ = code;
    NoteError();
    sequenceSteps_ = kStepNone;
    sequenceResult_ = code;
    nextRequest_ = nullptr;
    command_ = requestType_;
    doneReported_ = false;
    RequestDone(End::kFailed, code);
  }
}

void CustomPop3Client::RunStep(unsigned step) {
  switch (step) {
    case kStepConnect:
      Connect();
      break;
    case kStepUser:
      User();
      break;
    case kStepPass:
      Pass();
      break;
    case kStepRPop:
      RPop();
      break;
    case kStepQuit:
      Quit();
      break;
    case kStepAPop:
      APop();
      break;
    case kStepStat:
      Stat();
      break;
    case kStepList:
      List();
      break;
    case kStepUidl:
      Uidl();
      break;
    case kStepRetr:
      Retr();
      break;
    case kStepTop:
      Top();
      break;
    case kStepDele:
      Dele();
      break;
    case kStepNoop:
      Noop();
      break;
    case kStepRSet:
      RSet();
      break;
    case kStepLast:
      Last();
      break;
    default:
      break;
  }
}

}  // namespace corvel
