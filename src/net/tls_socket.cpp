#include "net/tls_socket.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "net/resolve.h"
#include "net/socket_calls.h"
#include "net/socket_errors.h"
#include "net/tls_engine.h"

namespace corvel {
namespace {

// What one pass takes from the network, and how much decrypted text the layer
// holds for a reader that is slow to take it; beyond that the network waits.
constexpr std::size_t kFeedLimit = 256 * 1024;
constexpr std::size_t kPlainLimit = 256 * 1024;
constexpr int kChunk = 16 * 1024;

}  // namespace

struct CustomTlsSocket::Session {
  std::unique_ptr<TlsEngine> engine;

  bool implicit = false;
  bool handshaking = true;
  bool established = false;
  // The network said end of stream, or broke: nothing more will come.
  bool peerEof = false;
  bool closeNotifyReceived = false;
  // The session cannot go on (handshake refused, broken record).
  bool failed = false;
  bool shutdownSent = false;
  // The user has sent since the last OnDataSent; the layer's own bytes
  // (handshake, alerts, close_notify) owe nobody an event.
  bool userSendPending = false;
  // The first byte the server sent: a server that is not speaking TLS shows
  // itself there ("+OK", "-ERR").
  int firstByte = -1;

  // Written by the user before the handshake ended; encrypted once it has.
  std::string earlyPlain;
  // Decrypted, not yet taken by the reader; taken from `plainPos` on.
  std::string plain;
  std::size_t plainPos = 0;

  // Sets up the client side for `host`; false with a reason when it cannot.
  bool Create(const std::string& host, std::string& reason) {
    if (host.empty()) {
      reason = "no host name to check the certificate against";
      return false;
    }
    engine = TlsEngine::Create(host, reason);
    return engine != nullptr;
  }

  [[nodiscard]] std::size_t PlainWaiting() const { return plain.size() - plainPos; }

  void TakePlain(char* into, std::size_t count) {
    std::memcpy(into, plain.data() + plainPos, count);
    plainPos += count;
    if (plainPos == plain.size()) {
      plain.clear();
      plainPos = 0;
    } else if (plainPos >= kChunk && plainPos * 2 >= plain.size()) {
      plain.erase(0, plainPos);
      plainPos = 0;
    }
  }

  // Why the handshake failed, in a few words; `engineReason` is what the
  // engine said of it, if anything.
  std::string HandshakeReason(const std::string& engineReason) {
    std::string certificate = engine->CertificateProblem();
    if (!certificate.empty()) return certificate;
    // A TLS record starts with its content type, 20 to 23.
    if (firstByte >= 0 && (firstByte < 20 || firstByte > 23)) {
      return "server did not answer with TLS";
    }
    if (!engineReason.empty()) return engineReason;
    if (peerEof) return "connection closed during the handshake";
    return "handshake failed";
  }
};

CustomTlsSocket::CustomTlsSocket(EventLoop& loop)
    : CustomAsyncSocket(loop), alive_(std::make_shared<char>(0)) {}

CustomTlsSocket::~CustomTlsSocket() { alive_.reset(); }

// ---- Properties.

void CustomTlsSocket::SetTlsMode(SocketTlsMode mode) {
  if (mode == tlsMode_) return;
  if (State() != SocketState::wsClosed) {
    ReportError("Cannot change TlsMode if not closed");
    return;
  }
  tlsMode_ = mode;
}

void CustomTlsSocket::SetTlsHostName(std::string_view name) {
  const std::string_view value = TrimBlanks(name);
  if (value == tlsHostName_) return;
  if (State() != SocketState::wsClosed) {
    ReportError("Cannot change TlsHostName if not closed");
    return;
  }
  tlsHostName_ = value;
}

bool CustomTlsSocket::TlsActive() const { return session_ && session_->established; }

std::string CustomTlsSocket::TlsVersion() const {
  if (!TlsActive()) return {};
  return session_->engine->Version();
}

std::int32_t CustomTlsSocket::PlainWaiting() const {
  if (!session_) return 0;
  return static_cast<std::int32_t>(std::min<std::size_t>(session_->PlainWaiting(), 0x7FFFFFFF));
}

bool CustomTlsSocket::SameSession(const std::weak_ptr<char>& alive, std::uint64_t serial) const {
  return !alive.expired() && session_ && sessionSerial_ == serial;
}

// ---- Operations.

void CustomTlsSocket::Connect() {
  tlsFailureReason_.clear();
  CustomAsyncSocket::Connect();
}

void CustomTlsSocket::StartTls() {
  if (State() != SocketState::wsConnected || Handle() == kInvalidSocket) {
    ReportError("StartTls: Socket is not connected");
    return;
  }
  if (session_) {
    ReportError("StartTls: TLS already started");
    return;
  }
  BeginHandshake(false);
}

void CustomTlsSocket::BeginHandshake(bool implicit) {
  tlsFailureReason_.clear();
  session_ = std::make_unique<Session>();
  ++sessionSerial_;
  session_->implicit = implicit;

  std::string reason;
  if (session_->Create(tlsHostName_, reason)) {
    // Sends the ClientHello; nothing can have come back yet.
    ContinueHandshake(!implicit);
  } else if (implicit) {
    // Inside the connect event already: the failure is told at once.
    HandshakeFailed(reason);
  } else {
    // StartTls reports its end from the loop, never from inside the call.
    FailHandshakeLater(reason);
  }
}

int CustomTlsSocket::Send(const void* data, int length) {
  if (!session_) return CustomAsyncSocket::Send(data, length);
  if (State() != SocketState::wsConnected) return CustomAsyncSocket::Send(data, length);
  if (session_->failed || session_->shutdownSent) {
    // Plain text must never go out on this connection.
    ReportError("Send: the TLS session has ended");
    return -1;
  }
  if (length < 0 || data == nullptr) length = 0;
  session_->userSendPending = true;
  const char* bytes = static_cast<const char*>(data);
  if (session_->handshaking) {
    session_->earlyPlain.append(bytes, static_cast<std::size_t>(length));
    return length;
  }
  std::string reason;
  if (!session_->engine->Encrypt(bytes, static_cast<std::size_t>(length), reason)) {
    ReportError("Send: TLS encryption failed: " + reason);
    return -1;
  }
  const std::string out = session_->engine->TakeOutput();
  // An empty send still earns its OnDataSent, as without TLS.
  const int queued = CustomAsyncSocket::Send(out.data(), static_cast<int>(out.size()));
  return queued < 0 ? -1 : length;
}

void CustomTlsSocket::Close() {
  if (session_ && session_->established && !session_->shutdownSent && !session_->peerEof &&
      State() == SocketState::wsConnected) {
    session_->shutdownSent = true;
    session_->engine->Shutdown();
    try {
      Flush();
    } catch (const std::exception&) {
      // The close_notify is a courtesy; the connection closes regardless.
    }
  }
  CustomAsyncSocket::Close();
}

// ---- The layer's hooks.

void CustomTlsSocket::TriggerSessionConnectedSpecial(std::uint16_t errCode) {
  if (errCode != 0 || tlsMode_ != SocketTlsMode::tlsImplicit || session_) {
    CustomAsyncSocket::TriggerSessionConnectedSpecial(errCode);
    return;
  }
  // The user hears of the connection once the handshake has ended.
  BeginHandshake(true);
}

bool CustomTlsSocket::TriggerDataAvailable(std::uint16_t errCode) {
  if (!session_) return CustomAsyncSocket::TriggerDataAvailable(errCode);
  std::weak_ptr<char> alive = alive_;
  const std::uint64_t serial = sessionSerial_;

  Feed();
  if (session_->handshaking) {
    ContinueHandshake();
    if (!SameSession(alive, serial) || session_->handshaking) return true;
  }
  if (!session_->established) return true;  // a failure is being reported

  Decrypt();
  Flush();  // alerts, and answers to the server's key updates
  if (!SameSession(alive, serial)) return true;
  if (session_->PlainWaiting() > 0) {
    if (!OnDataAvailable) {
      // Nobody reads: dropped, as the plain socket drops unwanted bytes.
      session_->plain.clear();
      session_->plainPos = 0;
    } else {
      CustomAsyncSocket::TriggerDataAvailable(errCode);
      if (!SameSession(alive, serial)) return true;
    }
  }
  if (session_->PlainWaiting() == 0 && (session_->closeNotifyReceived || session_->failed)) {
    FinishSession();
  }
  return true;
}

void CustomTlsSocket::TriggerDataSent(std::uint16_t errCode) {
  if (session_) {
    if (!session_->userSendPending) return;
    session_->userSendPending = false;
  }
  CustomAsyncSocket::TriggerDataSent(errCode);
}

void CustomTlsSocket::TriggerSessionClosed(std::uint16_t errCode) {
  // The peer's close is being told: a close_notify sent after it would only
  // meet a reset.
  if (session_) session_->peerEof = true;
  CustomAsyncSocket::TriggerSessionClosed(errCode);
}

int CustomTlsSocket::RawReceive(void* buffer, int size) {
  if (!session_) return CustomAsyncSocket::RawReceive(buffer, size);
  if (!session_->established) {
    sockets::SetLastSocketError(session_->failed ? kTlsHandshakeFailed : kWsaEwouldblock);
    return -1;
  }
  if (session_->PlainWaiting() == 0 && !session_->closeNotifyReceived && !session_->failed) {
    // A reader outside the data event; whatever has to be sent waits for
    // the next event, so Receive never fires one.
    Feed();
    Decrypt();
  }
  const bool full = session_->PlainWaiting() >= kPlainLimit;
  const std::size_t count =
      std::min<std::size_t>(session_->PlainWaiting(), static_cast<std::size_t>(std::max(size, 0)));
  if (count > 0) {
    session_->TakePlain(static_cast<char*>(buffer), count);
    // The network was left waiting while the layer held its fill; now that
    // there is room it is read again, which also lifts the socket's pause
    // of the read notifications for a reader that had stopped reading.
    if (full && !session_->closeNotifyReceived && !session_->failed) {
      Feed();
      Decrypt();
    }
    return static_cast<int>(count);
  }
  if (session_->failed) {
    sockets::SetLastSocketError(kTlsProtocolError);
    return -1;
  }
  if (session_->closeNotifyReceived || session_->peerEof) return 0;
  sockets::SetLastSocketError(kWsaEwouldblock);
  return -1;
}

std::int32_t CustomTlsSocket::GetRcvdCount() {
  const std::int32_t network = CustomAsyncSocket::GetRcvdCount();
  if (!session_ || network < 0) return network;
  // Bytes still on their way in count too: the receive loop comes back for
  // them. A partial record held inside the TLS engine does not, as nothing can be
  // made of it until more arrives.
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(PlainWaiting()) + network, 0x7FFFFFFF));
}

void CustomTlsSocket::ResetDefaults() {
  CustomAsyncSocket::ResetDefaults();
  session_.reset();
  ++sessionSerial_;
  tlsMode_ = SocketTlsMode::tlsOff;
  tlsHostName_.clear();
}

// ---- Inside the session.

void CustomTlsSocket::Feed() {
  Session& s = *session_;
  if (s.peerEof || s.PlainWaiting() >= kPlainLimit) return;
  char chunk[kChunk];
  for (std::size_t total = 0; total < kFeedLimit;) {
    const int n = CustomAsyncSocket::RawReceive(chunk, kChunk);
    if (n > 0) {
      if (s.firstByte < 0) s.firstByte = static_cast<unsigned char>(chunk[0]);
      s.engine->PutInput(chunk, static_cast<std::size_t>(n));
      total += static_cast<std::size_t>(n);
      // A short read has emptied the socket: asking again would only cost a
      // call that says so. What comes later raises its own event.
      if (n < kChunk) break;
      continue;
    }
    // End of stream, or a broken connection, whose close event follows.
    if (n == 0 || sockets::LastSocketError() != kWsaEwouldblock) s.peerEof = true;
    break;
  }
}

void CustomTlsSocket::ContinueHandshake(bool fromStartTls) {
  std::weak_ptr<char> alive = alive_;
  const std::uint64_t serial = sessionSerial_;
  Session& s = *session_;
  std::string reason;
  const TlsEngine::Status status = s.engine->Handshake(reason);
  if (status == TlsEngine::Status::kFailed) reason = s.HandshakeReason(reason);
  // The next handshake message, or the alert that tells the server why not.
  Flush();
  if (!SameSession(alive, serial)) return;
  if (status == TlsEngine::Status::kDone) {
    HandshakeSucceeded();
    return;
  }
  if (status == TlsEngine::Status::kWantMore && !s.peerEof) return;
  if (status != TlsEngine::Status::kFailed) reason = s.HandshakeReason({});
  if (fromStartTls) {
    FailHandshakeLater(reason);
  } else {
    HandshakeFailed(reason);
  }
}

void CustomTlsSocket::FailHandshakeLater(const std::string& reason) {
  std::weak_ptr<char> alive = alive_;
  const std::uint64_t serial = sessionSerial_;
  // Nothing more is taken from the network as handshake data meanwhile.
  session_->handshaking = false;
  session_->failed = true;
  Loop().Post([this, alive, serial, reason] {
    if (SameSession(alive, serial)) HandshakeFailed(reason);
  });
}

void CustomTlsSocket::HandshakeSucceeded() {
  std::weak_ptr<char> alive = alive_;
  const std::uint64_t serial = sessionSerial_;
  session_->handshaking = false;
  session_->established = true;
  if (!session_->earlyPlain.empty()) {
    const std::string early = std::move(session_->earlyPlain);
    session_->earlyPlain.clear();
    session_->userSendPending = false;  // Send sets it again
    Send(early.data(), static_cast<int>(early.size()));
    if (!SameSession(alive, serial)) return;
  }
  if (session_->implicit) {
    CustomAsyncSocket::TriggerSessionConnectedSpecial(0);
  } else if (OnTlsHandshakeDone) {
    ErrCodeEvent handler = OnTlsHandshakeDone;
    handler(0);
  }
}

void CustomTlsSocket::HandshakeFailed(const std::string& reason) {
  std::weak_ptr<char> alive = alive_;
  const std::uint64_t serial = sessionSerial_;
  tlsFailureReason_ = reason;
  session_->handshaking = false;
  session_->failed = true;
  if (session_->implicit) {
    CustomAsyncSocket::TriggerSessionConnectedSpecial(
        static_cast<std::uint16_t>(kTlsHandshakeFailed));
  } else if (OnTlsHandshakeDone) {
    ErrCodeEvent handler = OnTlsHandshakeDone;
    handler(static_cast<std::uint16_t>(kTlsHandshakeFailed));
  }
  if (SameSession(alive, serial) && State() != SocketState::wsClosed) {
    InternalClose(true, static_cast<std::uint16_t>(kTlsHandshakeFailed));
  }
}

void CustomTlsSocket::Decrypt() {
  Session& s = *session_;
  if (s.closeNotifyReceived || s.failed || s.PlainWaiting() >= kPlainLimit) return;
  std::string reason;
  switch (s.engine->Decrypt(s.plain, s.plainPos + kPlainLimit, reason)) {
    case TlsEngine::Status::kClosed:
      s.closeNotifyReceived = true;
      break;
    case TlsEngine::Status::kFailed:
      s.failed = true;
      tlsFailureReason_ = reason.empty() ? "broken TLS record" : reason;
      break;
    default:
      break;
  }
}

void CustomTlsSocket::Flush() {
  const std::string out = session_->engine->TakeOutput();
  if (!out.empty()) CustomAsyncSocket::Send(out.data(), static_cast<int>(out.size()));
}

void CustomTlsSocket::FinishSession() {
  if (session_->failed) {
    // Whatever the broken record was meant to say, nothing after it can be
    // trusted.
    InternalClose(false, static_cast<std::uint16_t>(kTlsProtocolError));
    return;
  }
  Close();  // answers the peer's close_notify with ours
}

}  // namespace corvel
