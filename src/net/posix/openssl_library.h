// OpenSSL (libssl and libcrypto), loaded when the program first needs it
// rather than when it starts: a check of plain-text accounts never does, and
// loading both libraries costs every start of the program about a
// millisecond. The types and constants stay <openssl/...>'s; only the
// functions are found at run time. Some of OpenSSL's names are macros over
// SSL_ctrl() and SSL_CTX_ctrl(); callers call those with the arguments the
// macro would pass.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <string>

namespace corvel {

// The functions of OpenSSL the program calls, typed as OpenSSL's headers
// declare them.
struct OpenSslLibrary {
  bool loaded = false;
  std::string reason;  // when not loaded: why, naming the library

  // libcrypto
  decltype(&ERR_get_error) err_get_error = nullptr;
  decltype(&ERR_reason_error_string) err_reason_error_string = nullptr;
  decltype(&ERR_clear_error) err_clear_error = nullptr;
  decltype(&X509_verify_cert_error_string) x509_verify_cert_error_string = nullptr;
  decltype(&X509_VERIFY_PARAM_set1_ip_asc) x509_verify_param_set1_ip_asc = nullptr;
  decltype(&X509_get_default_cert_file_env) x509_get_default_cert_file_env = nullptr;
  decltype(&X509_get_default_cert_file) x509_get_default_cert_file = nullptr;
  decltype(&X509_get_default_cert_dir_env) x509_get_default_cert_dir_env = nullptr;
  decltype(&X509_get_default_cert_dir) x509_get_default_cert_dir = nullptr;
  decltype(&BIO_new) bio_new = nullptr;
  decltype(&BIO_s_mem) bio_s_mem = nullptr;
  decltype(&BIO_free) bio_free = nullptr;
  decltype(&BIO_write) bio_write = nullptr;
  decltype(&BIO_read) bio_read = nullptr;
  decltype(&RAND_bytes) rand_bytes = nullptr;
  decltype(&EVP_Digest) evp_digest = nullptr;
  decltype(&EVP_sha256) evp_sha256 = nullptr;

  // libssl
  decltype(&TLS_client_method) tls_client_method = nullptr;
  decltype(&SSL_CTX_new) ssl_ctx_new = nullptr;
  decltype(&SSL_CTX_free) ssl_ctx_free = nullptr;
  decltype(&SSL_CTX_ctrl) ssl_ctx_ctrl = nullptr;
  decltype(&SSL_CTX_set_options) ssl_ctx_set_options = nullptr;
  decltype(&SSL_CTX_set_verify) ssl_ctx_set_verify = nullptr;
  decltype(&SSL_CTX_set_default_verify_paths) ssl_ctx_set_default_verify_paths = nullptr;
  decltype(&SSL_new) ssl_new = nullptr;
  decltype(&SSL_free) ssl_free = nullptr;
  decltype(&SSL_ctrl) ssl_ctrl = nullptr;
  decltype(&SSL_set_bio) ssl_set_bio = nullptr;
  decltype(&SSL_set_connect_state) ssl_set_connect_state = nullptr;
  decltype(&SSL_get0_param) ssl_get0_param = nullptr;
  decltype(&SSL_set_hostflags) ssl_set_hostflags = nullptr;
  decltype(&SSL_set1_host) ssl_set1_host = nullptr;
  decltype(&SSL_do_handshake) ssl_do_handshake = nullptr;
  decltype(&SSL_get_error) ssl_get_error = nullptr;
  decltype(&SSL_get_verify_result) ssl_get_verify_result = nullptr;
  decltype(&SSL_write) ssl_write = nullptr;
  decltype(&SSL_read) ssl_read = nullptr;
  decltype(&SSL_shutdown) ssl_shutdown = nullptr;
  decltype(&SSL_get_version) ssl_get_version = nullptr;
};

// The files OpenSSL is loaded from, as dlopen() looks them up: the run-time
// names of OpenSSL 3's libraries.
inline constexpr char kLibCryptoFile[] = "libcrypto.so.3";
inline constexpr char kLibSslFile[] = "libssl.so.3";

// OpenSSL, loaded at the first call (once per process, safe on any thread):
// all of its functions, or none and `reason` when a library or one of its
// functions cannot be found.
[[nodiscard]] const OpenSslLibrary& OpenSsl();

// Loads libcrypto and libssl from `crypto` and `ssl` instead; for tests,
// which point them at files that do not exist. Has no effect after the first
// OpenSsl().
void SetOpenSslLibraryFiles(std::string crypto, std::string ssl);

}  // namespace corvel
