// Certificates made at test time: a private certificate authority and server
// certificates issued by it (or self-signed), with the names and validity a
// test asks for, written as PEM files into a fresh folder under /tmp that is
// removed with the object. Nothing here is ever committed. EC P-256 keys,
// so making them costs next to nothing.
//
// TrustOnly() points OpenSSL's default verify paths (SSL_CERT_FILE,
// SSL_CERT_DIR) at this authority alone for as long as the returned guard
// lives, so a test's verdicts do not depend on the machine's trust store.
// No test framework in here.
//
// Windows builds make the certificates in the TLS peer host
// (tls_test_server.h), whose folder the server side reads; there TrustOnly()
// adds the authority to the current user's root store, which under Wine is
// the test prefix's, and takes it out again when the guard goes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvel::test {

#ifdef _WIN32
namespace remote {
// One control connection to the TLS peer host.
class Channel;
}  // namespace remote
#endif

struct CertSpec {
  std::string commonName = "localhost";
  std::vector<std::string> dnsNames = {"localhost"};
  std::vector<std::string> ipAddresses;
  // Validity, in seconds from now.
  long validFrom = -3600;
  long validUntil = 30L * 24 * 3600;
  // Signed by its own key instead of the test authority.
  bool selfSigned = false;
};

struct CertFiles {
  std::string cert;  // PEM certificate
  std::string key;   // PEM private key
};

// Sets an environment variable and puts the old value back when it goes.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class TestPki {
 public:
  // Makes the folder and the authority; throws std::runtime_error on failure.
  TestPki();
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  [[nodiscard]] const std::string& Folder() const { return folder_; }
  // The authority's certificate, PEM.
  [[nodiscard]] const std::string& CaFile() const { return caFile_; }

  // Writes <stem>.crt and <stem>.key; throws std::runtime_error on failure.
  CertFiles Issue(const std::string& stem, const CertSpec& spec = {});

  // SSL_CERT_FILE := the authority, SSL_CERT_DIR := a folder without hashed
  // certificate names, until the guard goes.
#ifdef _WIN32
  class TrustGuard {
   public:
    explicit TrustGuard(const std::string& caPem);
    ~TrustGuard();
    TrustGuard(const TrustGuard&) = delete;
    TrustGuard& operator=(const TrustGuard&) = delete;

   private:
    void* store_ = nullptr;        // the root store (HCERTSTORE)
    const void* added_ = nullptr;  // the store's copy (PCCERT_CONTEXT)
  };
#else
  struct TrustGuard {
    TrustGuard(const std::string& file, const std::string& dir)
        : file_("SSL_CERT_FILE", file), dir_("SSL_CERT_DIR", dir) {}

   private:
    ScopedEnv file_;
    ScopedEnv dir_;
  };
#endif
  [[nodiscard]] std::unique_ptr<TrustGuard> TrustOnly() const;

 private:
  struct Authority;
  std::string folder_;
  std::string caFile_;
#ifdef _WIN32
  std::string caPem_;
  std::unique_ptr<remote::Channel> channel_;
#else
  std::unique_ptr<Authority> authority_;
#endif
};

}  // namespace corvel::test
