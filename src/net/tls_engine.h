// TlsEngine: the client side of one TLS session (RFC 8446 and RFC 5246,
// version 1.2 or newer) over memory buffers. The TLS socket layer
// (tls_socket.h) moves the bytes: it puts what the network delivered in with
// PutInput, sends what TakeOutput hands back, and never lets the engine touch
// a socket. Each platform supplies one engine with the system's TLS library:
// OpenSSL on POSIX systems (posix/tls_engine.cpp), SChannel on Windows
// (win32/tls_engine.cpp).
//
// The server's certificate is always checked against the system's trusted
// authorities and against the host name (or dotted IPv4 address) given to
// Create, which is also sent as SNI for a name. Reasons are a few words, the
// same on every platform where the cause is the same ("certificate has
// expired", "host name mismatch", "self-signed certificate", ...).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace corvel {

class TlsEngine {
 public:
  enum class Status {
    kDone,      // the step is complete
    kWantMore,  // needs more bytes from the network
    kClosed,    // the peer said close_notify
    kFailed,    // the session cannot go on; see the reason
  };

  // A client session for `host`; nullptr with `reason` when none can be set up.
  [[nodiscard]] static std::unique_ptr<TlsEngine> Create(const std::string& host,
                                                         std::string& reason);

  virtual ~TlsEngine() = default;

  // Encrypted bytes that arrived from the network.
  virtual void PutInput(const char* data, std::size_t size) = 0;
  // Encrypted bytes the session wants sent; empties the engine's output.
  [[nodiscard]] virtual std::string TakeOutput() = 0;

  // Runs the handshake as far as the input allows. kFailed leaves in
  // `reason` why, when the engine knows (a refused certificate, an alert);
  // empty otherwise.
  virtual Status Handshake(std::string& reason) = 0;
  // After the network ended in the middle of the handshake: the certificate
  // check's verdict if there was one, else empty.
  [[nodiscard]] virtual std::string CertificateProblem() = 0;

  // Encrypts plaintext into the output; false with `reason` on failure.
  virtual bool Encrypt(const char* data, std::size_t size, std::string& reason) = 0;
  // Appends decrypted plaintext to `plain` until no whole record is left or
  // `plain` holds `limit` bytes: kWantMore, kClosed or kFailed (with reason).
  virtual Status Decrypt(std::string& plain, std::size_t limit, std::string& reason) = 0;

  // Puts a close_notify into the output.
  virtual void Shutdown() = 0;
  // The protocol version of the established session ("TLSv1.3").
  [[nodiscard]] virtual std::string Version() const = 0;
};

}  // namespace corvel
