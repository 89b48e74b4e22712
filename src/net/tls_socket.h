// CustomTlsSocket: TLS (RFC 8446 and RFC 5246, version 1.2 or newer) between
// the event-driven socket and its user, over the platform's TLS engine
// (tls_engine.h) with memory buffers driven by the socket's own events, so
// nothing ever blocks the owner thread.
//
// While TlsMode() is tlsOff and StartTls() has not been called, the layer is
// fully transparent: every call and every event goes straight to
// CustomAsyncSocket, and the bytes on the wire are the caller's bytes.
//
// With tlsImplicit (POP3 on port 995) the handshake starts as soon as the TCP
// connection stands, and OnSessionConnected fires only once it has ended:
// with 0, or with kTlsHandshakeFailed, after which the connection is closed.
// StartTls() upgrades a connection that is already open (STARTTLS, RFC 2595)
// and reports the end of that handshake through OnTlsHandshakeDone. Either
// way the server's certificate is checked against the system's trusted
// authorities (with OpenSSL its default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR apply; on Windows the system's certificate store) and against
// TlsHostName(), which is also sent as SNI. There is no
// way around a failed check, and no fallback to plain text.
//
// Once the session stands, received plaintext arrives through
// OnDataAvailable and Receive exactly as plain data does: a reader may take
// it in pieces of any size, and RcvdCount counts the plaintext the layer
// holds plus the encrypted bytes still waiting in the network, so that the
// receive loop comes back until everything is delivered. Send encrypts;
// OnDataSent fires once the encrypted bytes have gone out, never for the
// layer's own handshake bytes. Close sends the TLS close_notify first when it
// can do so without waiting. A peer's close_notify closes the connection once
// the plaintext before it has been delivered. A broken record after the
// handshake closes the connection with kTlsProtocolError.
//
// Why a handshake failed stays readable in TlsFailureReason() ("certificate
// has expired", "host name mismatch", ...) until the next Connect or
// StartTls.
//
// Threads: as CustomAsyncSocket, the owner loop's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/async_socket.h"

namespace corvel {

enum class SocketTlsMode {
  tlsOff,       // plain TCP, unless StartTls() is called
  tlsImplicit,  // TLS from the first byte
};

class CustomTlsSocket : public CustomAsyncSocket {
 public:
  explicit CustomTlsSocket(EventLoop& loop);
  ~CustomTlsSocket() override;

  // Both are per connection: only while State() is wsClosed (otherwise
  // "Cannot change TlsMode if not closed" resp. "Cannot change TlsHostName
  // if not closed"), and back to tlsOff and empty after every close, as Addr
  // and Port are.
  [[nodiscard]] SocketTlsMode TlsMode() const { return tlsMode_; }
  void SetTlsMode(SocketTlsMode mode);
  // The server's name as the user typed it: the socket connects to an
  // address, so the name to verify and to send as SNI comes from here. A
  // dotted IPv4 address is checked against the certificate's IP entries and
  // sent without SNI. Trimmed on assignment.
  [[nodiscard]] const std::string& TlsHostName() const { return tlsHostName_; }
  void SetTlsHostName(std::string_view name);

  // Starts the TLS handshake on the open connection. Reports "StartTls:
  // Socket is not connected" or "StartTls: TLS already started" when it
  // cannot start. OnTlsHandshakeDone follows, never from inside this call.
  void StartTls();

  // True from the end of a successful handshake until the connection closes.
  [[nodiscard]] bool TlsActive() const;
  // The protocol version of the session ("TLSv1.3"), empty without one.
  [[nodiscard]] std::string TlsVersion() const;
  // Why the last handshake or session failed; empty when none did.
  [[nodiscard]] const std::string& TlsFailureReason() const { return tlsFailureReason_; }

  // The end of the handshake started by StartTls: 0, or kTlsHandshakeFailed
  // (the connection is closed right after this event).
  ErrCodeEvent OnTlsHandshakeDone;

  void Connect() override;
  int Send(const void* data, int length) override;
  void Close() override;

 protected:
  void TriggerSessionConnectedSpecial(std::uint16_t errCode) override;
  bool TriggerDataAvailable(std::uint16_t errCode) override;
  void TriggerDataSent(std::uint16_t errCode) override;
  void TriggerSessionClosed(std::uint16_t errCode) override;
  int RawReceive(void* buffer, int size) override;
  std::int32_t GetRcvdCount() override;
  void ResetDefaults() override;

 private:
  struct Session;

  // Creates the session and sends the first handshake bytes.
  void BeginHandshake(bool implicit);
  // Takes what the network holds into the session, and runs the handshake
  // or decrypts, as far as the bytes allow. Sends nothing.
  void Pump();
  void Feed();
  // With `fromStartTls`, a failure is told from the loop rather than at once.
  void ContinueHandshake(bool fromStartTls = false);
  void FailHandshakeLater(const std::string& reason);
  void Decrypt();
  // Hands the session's encrypted output to the send queue.
  void Flush();
  void HandshakeSucceeded();
  void HandshakeFailed(const std::string& reason);
  // Ends a session whose peer said close_notify or sent a broken record,
  // once its plaintext has been taken.
  void FinishSession();
  [[nodiscard]] std::int32_t PlainWaiting() const;
  [[nodiscard]] bool SameSession(const std::weak_ptr<char>& alive, std::uint64_t serial) const;

  SocketTlsMode tlsMode_ = SocketTlsMode::tlsOff;
  std::string tlsHostName_;
  std::string tlsFailureReason_;
  std::unique_ptr<Session> session_;
  // Counts sessions, so that a handler that closed the connection (or began
  // another) is noticed.
  std::uint64_t sessionSerial_ = 0;
  // Set only while the object lives; handlers may destroy it.
  std::shared_ptr<char> alive_;
};

// The published socket.
class AsyncSocket : public CustomTlsSocket {
 public:
  using CustomTlsSocket::CustomTlsSocket;
};

}  // namespace corvel
