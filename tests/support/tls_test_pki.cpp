#include "support/tls_test_pki.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace corvel::test {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

[[noreturn]] void Fail(const std::string& what) {
  char detail[256] = "";
  ERR_error_string_n(ERR_get_error(), detail, sizeof detail);
  ERR_clear_error();
  throw std::runtime_error("test certificates: " + what + ": " + detail);
}

KeyPtr NewKey() {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) Fail("cannot make a key");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) Fail("bad extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

CertPtr NewCert(EVP_PKEY* key, const std::string& commonName, long validFrom, long validUntil) {
  static long serial = 1;
  CertPtr cert(X509_new());
  if (!cert) Fail("cannot make a certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), validFrom);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), validUntil);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

void Sign(X509* cert, EVP_PKEY* key) {
  if (X509_sign(cert, key, EVP_sha256()) <= 0) Fail("cannot sign");
}

void WritePem(const std::string& path, X509* cert) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  const bool ok = PEM_write_X509(file, cert) == 1;
  std::fclose(file);
  if (!ok) Fail("cannot write " + path);
}

void WritePem(const std::string& path, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  const bool ok = PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(file);
  if (!ok) Fail("cannot write " + path);
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

struct TestPki::Authority {
  KeyPtr key;
  CertPtr cert;
};

TestPki::TestPki() : authority_(std::make_unique<Authority>()) {
  char pattern[] = "/tmp/corvel-tls-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  folder_ = pattern;
  // Dovecot's processes read the files too.
  std::filesystem::permissions(
      folder_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                   std::filesystem::perms::others_exec);
  authority_->key = NewKey();
  authority_->cert = NewCert(authority_->key.get(), "Corvel Test CA", -3600, 365L * 24 * 3600);
  X509_set_issuer_name(authority_->cert.get(), X509_get_subject_name(authority_->cert.get()));
  AddExtension(authority_->cert.get(), authority_->cert.get(), NID_basic_constraints,
               "critical,CA:TRUE");
  AddExtension(authority_->cert.get(), authority_->cert.get(), NID_key_usage,
               "critical,keyCertSign,cRLSign");
  AddExtension(authority_->cert.get(), authority_->cert.get(), NID_subject_key_identifier, "hash");
  Sign(authority_->cert.get(), authority_->key.get());
  caFile_ = folder_ + "/ca.pem";
  WritePem(caFile_, authority_->cert.get());
}

TestPki::~TestPki() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

CertFiles TestPki::Issue(const std::string& stem, const CertSpec& spec) {
  KeyPtr key = NewKey();
  CertPtr cert = NewCert(key.get(), spec.commonName, spec.validFrom, spec.validUntil);
  X509* issuer = spec.selfSigned ? cert.get() : authority_->cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer));
  AddExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature");
  AddExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
  std::string names;
  for (const std::string& dns : spec.dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + dns;
  for (const std::string& ip : spec.ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + ip;
  if (!names.empty()) AddExtension(cert.get(), issuer, NID_subject_alt_name, names);
  if (!spec.selfSigned) {
    AddExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid");
  }
  Sign(cert.get(), spec.selfSigned ? key.get() : authority_->key.get());
  CertFiles files{folder_ + "/" + stem + ".crt", folder_ + "/" + stem + ".key"};
  WritePem(files.cert, cert.get());
  WritePem(files.key, key.get());
  ::chmod(files.key.c_str(), 0644);
  return files;
}

std::unique_ptr<TestPki::TrustGuard> TestPki::TrustOnly() const {
  return std::make_unique<TrustGuard>(caFile_, folder_);
}

}  // namespace corvel::test
