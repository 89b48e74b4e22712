#include "support/tls_test_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <utility>

namespace corvel::test {
namespace {

SSL_CTX* Ctx(void* p) { return static_cast<SSL_CTX*>(p); }
SSL* Ssl(void* p) { return static_cast<SSL*>(p); }

std::string QueuedError() {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return text;
}

constexpr int kAcceptLimitMs = 20000;

}  // namespace

TlsPeer::TlsPeer(PeerSocket socket, const TlsServerOptions& options) : socket_(std::move(socket)) {
  timeval limit{options.ioTimeoutMs / 1000, (options.ioTimeoutMs % 1000) * 1000};
  ::setsockopt(socket_.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(socket_.Fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  ctx_ = ctx;
  if (ctx == nullptr) {
    error_ = QueuedError();
    return;
  }
  if (options.maxVersion != 0) SSL_CTX_set_max_proto_version(ctx, options.maxVersion);
  if (options.maxVersion != 0 && options.maxVersion < TLS1_2_VERSION) {
    // Old versions need the old security level to be offered at all.
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, 0);
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, options.files.cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, options.files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    error_ = QueuedError();
    return;
  }
  SSL* ssl = SSL_new(ctx);
  ssl_ = ssl;
  SSL_set_fd(ssl, socket_.Fd());
}

TlsPeer::~TlsPeer() {
  SSL_free(Ssl(ssl_));
  SSL_CTX_free(Ctx(ctx_));
}

bool TlsPeer::Handshake() {
  if (ssl_ == nullptr) return false;
  ERR_clear_error();
  if (SSL_accept(Ssl(ssl_)) == 1) return true;
  error_ = QueuedError();
  return false;
}

std::string TlsPeer::Version() const {
  return ssl_ != nullptr ? SSL_get_version(Ssl(ssl_)) : std::string();
}

std::string TlsPeer::ServerName() const {
  const char* name =
      ssl_ != nullptr ? SSL_get_servername(Ssl(ssl_), TLSEXT_NAMETYPE_host_name) : nullptr;
  return name != nullptr ? name : "";
}

bool TlsPeer::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    ERR_clear_error();
    const int n = SSL_write(Ssl(ssl_), bytes.data(), static_cast<int>(bytes.size()));
    if (n <= 0) {
      error_ = QueuedError();
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string TlsPeer::Read(std::size_t count) {
  std::string result;
  char buffer[16384];
  while (result.size() < count) {
    ERR_clear_error();
    const int want = static_cast<int>(std::min(sizeof buffer, count - result.size()));
    const int n = SSL_read(Ssl(ssl_), buffer, want);
    if (n <= 0) {
      sawCloseNotify_ = SSL_get_error(Ssl(ssl_), n) == SSL_ERROR_ZERO_RETURN;
      break;
    }
    result.append(buffer, static_cast<std::size_t>(n));
  }
  return result;
}

std::string TlsPeer::ReadLine() {
  std::string line;
  while (line.empty() || line.back() != '\n') {
    std::string byte = Read(1);
    if (byte.empty()) break;
    line += byte;
  }
  return line;
}

std::string TlsPeer::ReadToEnd() { return Read(static_cast<std::size_t>(-1)); }

void TlsPeer::SendCloseNotify() {
  ERR_clear_error();
  SSL_shutdown(Ssl(ssl_));
}

bool TlsPeer::WriteWithCloseNotify(std::string_view bytes) {
  int on = 1;
  ::setsockopt(socket_.Fd(), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  const bool written = Write(bytes);
  SendCloseNotify();
  on = 0;
  ::setsockopt(socket_.Fd(), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  return written;
}

bool TlsPeer::WritePlain(std::string_view bytes) { return socket_.SendAll(bytes); }

std::string TlsPeer::ReadPlainLine() {
  std::string line;
  while (line.empty() || line.back() != '\n') {
    char byte = 0;
    if (::recv(socket_.Fd(), &byte, 1, 0) != 1) break;
    line += byte;
  }
  return line;
}

std::string TlsPeer::ReadRaw(std::size_t count) {
  std::string result;
  char buffer[4096];
  while (result.size() < count) {
    const ssize_t n =
        ::recv(socket_.Fd(), buffer, std::min(sizeof buffer, count - result.size()), 0);
    if (n <= 0) break;
    result.append(buffer, static_cast<std::size_t>(n));
  }
  return result;
}

std::string TlsPeer::ReadRawToEnd() {
  std::string result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(socket_.Fd(), buffer, sizeof buffer, 0);
    if (n <= 0) break;
    result.append(buffer, static_cast<std::size_t>(n));
  }
  return result;
}

// Both directions end, but the descriptor stays the peer's until it goes, so
// the server's destructor can never reach a reused one.
void TlsPeer::CloseTcp() { ::shutdown(socket_.Fd(), SHUT_RDWR); }

TlsTestServer::TlsTestServer(TlsServerOptions options, Session session)
    : TlsTestServer(std::move(options), std::vector<Session>{std::move(session)}) {}

TlsTestServer::TlsTestServer(TlsServerOptions options, std::vector<Session> sessions)
    : options_(std::move(options)), sessions_(std::move(sessions)) {
  // OpenSSL writes with write(): a client that has gone must not kill the
  // test program.
  ::signal(SIGPIPE, SIG_IGN);
  thread_ = std::thread([this] {
    for (const Session& session : sessions_) {
      PeerSocket socket;
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptLimitMs);
      while (!stopping_ && !socket.Valid() && std::chrono::steady_clock::now() < deadline) {
        socket = listener_.Accept(100);
      }
      if (!socket.Valid() || stopping_) break;
      {
        std::lock_guard lock(mutex_);
        activeFd_ = socket.Fd();
      }
      TlsPeer peer(std::move(socket), options_);
      session(peer);
      // Forgotten before the peer closes it, so it is never a reused one.
      std::lock_guard lock(mutex_);
      activeFd_ = -1;
    }
    finished_ = true;
  });
}

TlsTestServer::~TlsTestServer() {
  stopping_ = true;
  {
    // A session still waiting for the client is woken by the end of its
    // connection.
    std::lock_guard lock(mutex_);
    if (activeFd_ >= 0) ::shutdown(activeFd_, SHUT_RDWR);
  }
  thread_.join();
}

}  // namespace corvel::test
