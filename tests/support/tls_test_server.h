// A TLS server for tests: it listens on 127.0.0.1 with a port the system
// chooses, accepts connections in a thread of the test process,
// one per session function and in their order, and runs each session
// function on its connection with a TlsPeer, the server's end:
// blocking calls over OpenSSL's server side, plain-text calls for what comes
// before a STARTTLS upgrade, and a record of everything the client sent.
// Every wait is bounded, and the destructor cuts a waiting session short, so
// a broken client fails a test but never hangs it. No test framework in here.
//
// Windows builds have no OpenSSL: there the server side runs in the TLS peer
// host (tls_peer_host.cpp, a program of the build machine that Wine's
// programs reach on loopback, named by CORVEL_TLS_PEER_HOST), and the calls
// below are forwarded to it (tls_test_remote.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/loopback.h"
#include "support/tls_test_pki.h"

namespace corvel::test {

// The protocol version numbers of the wire, as OpenSSL's TLS1_x_VERSION.
inline constexpr int kTls11Version = 0x0302;

struct TlsServerOptions {
  CertFiles files;
  // Highest protocol version offered (kTls11Version ...); 0: any.
  int maxVersion = 0;
  // How long any single read or write of the session may wait.
  int ioTimeoutMs = 20000;
};

class TlsPeer {
 public:
#ifdef _WIN32
  explicit TlsPeer(remote::Channel& channel) : channel_(channel) {}
#else
  TlsPeer(PeerSocket socket, const TlsServerOptions& options);
#endif
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  // The server's side of the handshake. False, with Error(), when it fails.
  bool Handshake();
  [[nodiscard]] const std::string& Error() const { return error_; }
  [[nodiscard]] std::string Version() const;
  // The name the client sent as SNI; empty when none.
  [[nodiscard]] std::string ServerName() const;

  // Over TLS, once the handshake stands.
  bool Write(std::string_view bytes);
  // Up to `count` bytes; fewer only when the client closes or fails.
  std::string Read(std::size_t count);
  // One line, LF included; what came before a close when there is no LF.
  std::string ReadLine();
  // Everything until the client's close_notify or the end of the stream.
  std::string ReadToEnd();
  // True when the last read ended with the client's close_notify.
  [[nodiscard]] bool SawCloseNotify() const { return sawCloseNotify_; }
  // Sends close_notify (without waiting for the client's).
  void SendCloseNotify();
  // Writes the bytes and close_notify as one TCP segment, so the client
  // reads the last reply and the end of the session together.
  bool WriteWithCloseNotify(std::string_view bytes);

  // Plain text on the same connection (before a STARTTLS upgrade). Reads
  // take bytes one at a time, so nothing after the line is consumed.
  bool WritePlain(std::string_view bytes);
  std::string ReadPlainLine();
  // Up to `count` raw bytes; fewer only when the client closes.
  std::string ReadRaw(std::size_t count);
  // Raw bytes until the client closes; for what a client sent after a
  // failed handshake.
  std::string ReadRawToEnd();

  // Ends the TCP connection without close_notify.
  void CloseTcp();

 private:
#ifdef _WIN32
  remote::Channel& channel_;
  // The reply's fields after the call `command`.
  std::vector<std::string> Call(const std::string& command, std::vector<std::string> args = {});
  std::string version_;
  std::string serverName_;
#else
  PeerSocket socket_;
  void* ctx_ = nullptr;  // SSL_CTX
  void* ssl_ = nullptr;  // SSL
#endif
  std::string error_;
  bool sawCloseNotify_ = false;
};

// One POP3 exchange over TLS: for each entry, reads a client line and, when
// it is the entry's command, answers with the entry's reply (CR LF added; a
// reply of several lines holds CR LF inside). Stops at the first other line.
// Returns the client lines read, line ends included.
std::string Pop3Exchange(TlsPeer& peer,
                         const std::vector<std::pair<std::string, std::string>>& exchange);

class TlsTestServer {
 public:
  using Session = std::function<void(TlsPeer& peer)>;

  TlsTestServer(TlsServerOptions options, Session session);
  TlsTestServer(TlsServerOptions options, std::vector<Session> sessions);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

#ifdef _WIN32
  [[nodiscard]] std::uint16_t Port() const {
    return static_cast<std::uint16_t>(std::stoi(portText_));
  }
  [[nodiscard]] std::string PortText() const { return portText_; }
#else
  [[nodiscard]] std::uint16_t Port() const { return listener_.Port(); }
  [[nodiscard]] std::string PortText() const { return listener_.PortText(); }
#endif

  // True once every session function has returned; a test pumps its loop
  // until then.
  [[nodiscard]] bool Finished() const { return finished_; }

 private:
#ifdef _WIN32
  std::unique_ptr<remote::Channel> channel_;
  std::string portText_;
#else
  LoopbackListener listener_;
  int activeFd_ = -1;
#endif
  TlsServerOptions options_;
  std::vector<Session> sessions_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::thread thread_;
};

}  // namespace corvel::test
