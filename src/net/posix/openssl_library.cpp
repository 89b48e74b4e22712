#include "net/posix/openssl_library.h"

#include <dlfcn.h>

#include <utility>

#include "net/posix/shared_library.h"

namespace corvel {
namespace {

struct LibraryFiles {
  std::string crypto = kLibCryptoFile;
  std::string ssl = kLibSslFile;
};

LibraryFiles& Files() {
  static LibraryFiles files;
  return files;
}

// OpenSSL's functions, all of them or none (with the reason). The libraries
// stay loaded for the rest of the process: OpenSSL keeps global state once
// used, and its functions may be called until the program ends.
OpenSslLibrary Load(const LibraryFiles& files) {
  OpenSslLibrary none;
  std::string why;
  void* crypto = OpenSharedLibrary(files.crypto, why);
  if (crypto == nullptr) {
    none.reason = "OpenSSL (" + files.crypto + ") could not be loaded: " + why;
    return none;
  }
  void* ssl = OpenSharedLibrary(files.ssl, why);
  if (ssl == nullptr) {
    none.reason = "OpenSSL (" + files.ssl + ") could not be loaded: " + why;
    ::dlclose(crypto);
    return none;
  }
  OpenSslLibrary o;
  SymbolFinder c(crypto);
  c(o.err_get_error, "ERR_get_error");
  c(o.err_reason_error_string, "ERR_reason_error_string");
  c(o.err_clear_error, "ERR_clear_error");
  c(o.x509_verify_cert_error_string, "X509_verify_cert_error_string");
  c(o.x509_verify_param_set1_ip_asc, "X509_VERIFY_PARAM_set1_ip_asc");
  c(o.x509_get_default_cert_file_env, "X509_get_default_cert_file_env");
  c(o.x509_get_default_cert_file, "X509_get_default_cert_file");
  c(o.x509_get_default_cert_dir_env, "X509_get_default_cert_dir_env");
  c(o.x509_get_default_cert_dir, "X509_get_default_cert_dir");
  c(o.bio_new, "BIO_new");
  c(o.bio_s_mem, "BIO_s_mem");
  c(o.bio_free, "BIO_free");
  c(o.bio_write, "BIO_write");
  c(o.bio_read, "BIO_read");
  c(o.rand_bytes, "RAND_bytes");
  c(o.evp_digest, "EVP_Digest");
  c(o.evp_sha256, "EVP_sha256");
  SymbolFinder s(ssl);
  s(o.tls_client_method, "TLS_client_method");
  s(o.ssl_ctx_new, "SSL_CTX_new");
  s(o.ssl_ctx_free, "SSL_CTX_free");
  s(o.ssl_ctx_ctrl, "SSL_CTX_ctrl");
  s(o.ssl_ctx_set_options, "SSL_CTX_set_options");
  s(o.ssl_ctx_set_verify, "SSL_CTX_set_verify");
  s(o.ssl_ctx_set_default_verify_paths, "SSL_CTX_set_default_verify_paths");
  s(o.ssl_new, "SSL_new");
  s(o.ssl_free, "SSL_free");
  s(o.ssl_ctrl, "SSL_ctrl");
  s(o.ssl_set_bio, "SSL_set_bio");
  s(o.ssl_set_connect_state, "SSL_set_connect_state");
  s(o.ssl_get0_param, "SSL_get0_param");
  s(o.ssl_set_hostflags, "SSL_set_hostflags");
  s(o.ssl_set1_host, "SSL_set1_host");
  s(o.ssl_do_handshake, "SSL_do_handshake");
  s(o.ssl_get_error, "SSL_get_error");
  s(o.ssl_get_verify_result, "SSL_get_verify_result");
  s(o.ssl_write, "SSL_write");
  s(o.ssl_read, "SSL_read");
  s(o.ssl_shutdown, "SSL_shutdown");
  s(o.ssl_get_version, "SSL_get_version");
  if (!c.Missing().empty() || !s.Missing().empty()) {
    // Half a set of functions is never handed out.
    ::dlclose(ssl);
    ::dlclose(crypto);
    none.reason = c.Missing().empty()
                      ? "OpenSSL (" + files.ssl + ") could not be loaded: " + s.Missing()
                      : "OpenSSL (" + files.crypto + ") could not be loaded: " + c.Missing();
    return none;
  }
  o.loaded = true;
  return o;
}

}  // namespace

const OpenSslLibrary& OpenSsl() {
  static const OpenSslLibrary library = Load(Files());
  return library;
}

void SetOpenSslLibraryFiles(std::string crypto, std::string ssl) {
  Files().crypto = std::move(crypto);
  Files().ssl = std::move(ssl);
}

}  // namespace corvel
