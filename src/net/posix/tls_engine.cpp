// The TLS engine of POSIX builds: OpenSSL over a pair of memory BIOs, with
// the default verify paths (so SSL_CERT_FILE and SSL_CERT_DIR apply).
// OpenSSL is loaded at the first TLS connection (net/posix/openssl_library).
#include "net/tls_engine.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <string_view>

#include "net/posix/openssl_library.h"
#include "net/resolve.h"

namespace corvel {
namespace {

constexpr int kChunk = 16 * 1024;

struct CtxFree {
  void operator()(SSL_CTX* ctx) const { OpenSsl().ssl_ctx_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { OpenSsl().ssl_free(ssl); }
};

// The first error OpenSSL queued on this thread, as its short reason text;
// empties the queue.
std::string TakeErrorReason() {
  const OpenSslLibrary& o = OpenSsl();
  std::string reason;
  unsigned long first = o.err_get_error();
  if (first != 0) {
    const char* text = o.err_reason_error_string(first);
    if (text != nullptr) reason = text;
  }
  o.err_clear_error();
  return reason;
}

// The certificate check's result in a few words. The common ones are written
// out here so that the log reads the same whatever OpenSSL's own wording.
std::string VerifyReason(long code) {
  switch (code) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
      return "host name mismatch";
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "IP address mismatch";
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "certificate has expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "certificate is not yet valid";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      return "self-signed certificate";
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "self-signed certificate in certificate chain";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
      return "unable to get local issuer certificate";
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "unable to verify the first certificate";
    case X509_V_ERR_CERT_REVOKED:
      return "certificate revoked";
    default:
      break;
  }
  const char* text = OpenSsl().x509_verify_cert_error_string(code);
  return text != nullptr ? text : "certificate verify failed";
}

bool IsAddressLiteral(std::string_view host) {
  return IsDottedQuad(host) || host.find(':') != std::string_view::npos;
}

class OpenSslEngine final : public TlsEngine {
 public:
  explicit OpenSslEngine(const OpenSslLibrary& openSsl) : o_(openSsl) {}

  bool Init(const std::string& host, std::string& reason) {
    o_.err_clear_error();
    ctx_.reset(o_.ssl_ctx_new(o_.tls_client_method()));
    if (!ctx_) {
      reason = "cannot set up TLS: " + TakeErrorReason();
      return false;
    }
    o_.ssl_ctx_ctrl(ctx_.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    o_.ssl_ctx_set_options(ctx_.get(), SSL_OP_NO_RENEGOTIATION);
    o_.ssl_ctx_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    // Read at every handshake, so SSL_CERT_FILE and SSL_CERT_DIR set after
    // the program started still count.
    if (o_.ssl_ctx_set_default_verify_paths(ctx_.get()) != 1) {
      reason = "cannot load the trusted certificates: " + TakeErrorReason();
      return false;
    }
    ssl_.reset(o_.ssl_new(ctx_.get()));
    fromNetwork_ = o_.bio_new(o_.bio_s_mem());
    toNetwork_ = o_.bio_new(o_.bio_s_mem());
    if (!ssl_ || fromNetwork_ == nullptr || toNetwork_ == nullptr) {
      o_.bio_free(fromNetwork_);
      o_.bio_free(toNetwork_);
      fromNetwork_ = toNetwork_ = nullptr;
      reason = "cannot set up TLS: " + TakeErrorReason();
      return false;
    }
    o_.ssl_set_bio(ssl_.get(), fromNetwork_, toNetwork_);
    o_.ssl_set_connect_state(ssl_.get());
    bool named = false;
    if (IsAddressLiteral(host)) {
      named = o_.x509_verify_param_set1_ip_asc(o_.ssl_get0_param(ssl_.get()), host.c_str()) == 1;
    } else {
      o_.ssl_set_hostflags(ssl_.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      named = o_.ssl_ctrl(ssl_.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                          const_cast<char*>(host.c_str())) == 1 &&
              o_.ssl_set1_host(ssl_.get(), host.c_str()) == 1;
    }
    if (!named) {
      reason = "unusable host name '" + host + "'";
      return false;
    }
    return true;
  }

  void PutInput(const char* data, std::size_t size) override {
    o_.bio_write(fromNetwork_, data, static_cast<int>(size));
  }

  std::string TakeOutput() override {
    std::string out;
    char buffer[kChunk];
    for (;;) {
      const int n = o_.bio_read(toNetwork_, buffer, kChunk);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  Status Handshake(std::string& reason) override {
    o_.err_clear_error();
    const int result = o_.ssl_do_handshake(ssl_.get());
    if (result == 1) return Status::kDone;
    if (o_.ssl_get_error(ssl_.get(), result) == SSL_ERROR_WANT_READ) return Status::kWantMore;
    reason = TakeErrorReason();
    return Status::kFailed;
  }

  std::string CertificateProblem() override {
    const long verify = o_.ssl_get_verify_result(ssl_.get());
    o_.err_clear_error();
    return verify != X509_V_OK ? VerifyReason(verify) : std::string();
  }

  bool Encrypt(const char* data, std::size_t size, std::string& reason) override {
    for (std::size_t done = 0; done < size;) {
      const int piece = static_cast<int>(std::min<std::size_t>(kChunk, size - done));
      o_.err_clear_error();
      const int written = o_.ssl_write(ssl_.get(), data + done, piece);
      if (written <= 0) {
        reason = TakeErrorReason();
        return false;
      }
      done += static_cast<std::size_t>(written);
    }
    return true;
  }

  Status Decrypt(std::string& plain, std::size_t limit, std::string& reason) override {
    char buffer[kChunk];
    while (plain.size() < limit) {
      o_.err_clear_error();
      const int n = o_.ssl_read(ssl_.get(), buffer, kChunk);
      if (n > 0) {
        plain.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      const int error = o_.ssl_get_error(ssl_.get(), n);
      if (error == SSL_ERROR_WANT_READ) return Status::kWantMore;
      if (error == SSL_ERROR_ZERO_RETURN) return Status::kClosed;
      reason = TakeErrorReason();
      return Status::kFailed;
    }
    return Status::kWantMore;
  }

  void Shutdown() override {
    o_.err_clear_error();
    o_.ssl_shutdown(ssl_.get());
    o_.err_clear_error();
  }

  std::string Version() const override { return o_.ssl_get_version(ssl_.get()); }

 private:
  const OpenSslLibrary& o_;
  std::unique_ptr<SSL_CTX, CtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
  BIO* fromNetwork_ = nullptr;  // owned by ssl_
  BIO* toNetwork_ = nullptr;    // owned by ssl_
};

}  // namespace

std::unique_ptr<TlsEngine> TlsEngine::Create(const std::string& host, std::string& reason) {
  const OpenSslLibrary& openSsl = OpenSsl();
  if (!openSsl.loaded) {
    reason = openSsl.reason;
    return nullptr;
  }
  auto engine = std::make_unique<OpenSslEngine>(openSsl);
  if (!engine->Init(host, reason)) return nullptr;
  return engine;
}

}  // namespace corvel
