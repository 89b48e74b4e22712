// STLS (RFC 2595): the upgrade of a plain POP3 connection to TLS, and the
// engine's view of the TLS layer underneath.
#include "net/socket_errors.h"
#include "pop3/pop3_client.h"

namespace corvel {

using PS = Pop3ProtocolState;
using ES = Pop3EngineState;
using RQ = Pop3Request;

bool CustomPop3Client::TlsActive() const { return socket_->TlsActive(); }

const std::string& CustomPop3Client::TlsFailureReason() const {
  return socket_->TlsFailureReason();
}

std::string CustomPop3Client::TlsErrorLine(std::uint16_t errCode) const {
  const std::string& reason = socket_->TlsFailureReason();
  return "-ERR " + SocketErrorText(errCode) + (reason.empty() ? "" : ": " + reason);
}

void CustomPop3Client::Stls() {
  // Only before the login, and only once: a connection already under TLS has
  // nothing to upgrade.
  if (protocolState_ != PS::pop3WaitingUser || socket_->TlsActive()) {
    Refuse("-ERR STLS command invalid now");
  }
  StartCommand(RQ::pop3Stls, "STLS", PS::pop3WaitingUser, &CustomPop3Client::StlsStartHandshake);
}

void CustomPop3Client::StlsStartHandshake() {
  // Bytes that came in behind the go-ahead were sent in plain text, where
  // anyone on the way could have put them: they are dropped, never read as
  // the protected session's first lines. Lines during the handshake cannot
  // come from the socket; should one come, it fails the request.
  receiveBuffer_.Clear();
  nextHandler_ = nullptr;
  // The greeting's APOP timestamp is kept: no new greeting follows STLS,
  // the server still expects the digest over the timestamp it sent, and
  // that digest goes out only inside the verified session, to the server
  // whose certificate was checked. A forged timestamp can at worst make
  // that login fail, which anyone on the path could bring about anyway.
  socket_->StartTls();
}

void CustomPop3Client::HandleTlsHandshakeDone(std::uint16_t errCode) {
  // Only the handshake an STLS request started ends a request.
  if (state_ != ES::pop3WaitingReply || requestType_ != RQ::pop3Stls) return;
  try {
    if (errCode == 0) {
      requestResult_ = 0;
      RequestDone(Pop3RequestEnd::kReply, 0);
      return;
    }
    lastResponse_ = TlsErrorLine(errCode);
    statusCode_ = kPop3NegativeReply;
    requestResult_ = errCode;
    errorMessage_ = lastResponse_;
    RequestDone(Pop3RequestEnd::kFailed, errCode);
  } catch (const std::exception& e) {
    FailRunningRequest(e);
  }
}

}  // namespace corvel
