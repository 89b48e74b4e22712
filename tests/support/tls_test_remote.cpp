// The Windows side of the test certificates and the TLS test server: each
// object holds a control connection to the TLS peer host, and every call is
// one request and its reply (tls_peer_wire.h). Blocking Winsock calls; a
// control connection that fails makes every later call fail at once.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "support/peer_host_channel.h"
#include "support/tls_peer_wire.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"

namespace corvel::test {

namespace {

std::string At(const std::vector<std::string>& fields, std::size_t i) {
  return i < fields.size() ? fields[i] : std::string();
}

std::vector<std::string> Checked(std::vector<std::string> reply, const std::string& what) {
  if (At(reply, 0) != "ok") {
    throw std::runtime_error("TLS peer host: " + what + " failed: " + At(reply, 1));
  }
  return reply;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "\n") + part;
  return text;
}

constexpr int kAcceptLimitMs = 20000;

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  _putenv_s(name_.c_str(), value.c_str());
}

ScopedEnv::~ScopedEnv() { _putenv_s(name_.c_str(), old_ ? old_->c_str() : ""); }

// ---- Certificates.

TestPki::TestPki() : channel_(std::make_unique<remote::Channel>()) {
  const auto reply = Checked(channel_->Call("pki", {}), "making the test authority");
  folder_ = At(reply, 1);
  caFile_ = At(reply, 2);
  caPem_ = At(reply, 3);
}

TestPki::~TestPki() = default;

CertFiles TestPki::Issue(const std::string& stem, const CertSpec& spec) {
  const auto reply = Checked(
      channel_->Call("issue", {stem, spec.commonName, Joined(spec.dnsNames),
                               Joined(spec.ipAddresses), std::to_string(spec.validFrom),
                               std::to_string(spec.validUntil), spec.selfSigned ? "1" : ""}),
      "issuing " + stem);
  return {At(reply, 1), At(reply, 2)};
}

std::unique_ptr<TestPki::TrustGuard> TestPki::TrustOnly() const {
  return std::make_unique<TrustGuard>(caPem_);
}

TestPki::TrustGuard::TrustGuard(const std::string& caPem) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(caPem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr)) {
    throw std::runtime_error("the test authority's certificate is no PEM");
  }
  std::string der(size, '\0');
  CryptStringToBinaryA(caPem.c_str(), 0, CRYPT_STRING_BASE64HEADER,
                       reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
  HCERTSTORE root =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  PCCERT_CONTEXT added = nullptr;
  // Written through at once, so that a chain engine opened from now on
  // finds it.
  const bool ok = root != nullptr &&
                  CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                                   reinterpret_cast<const BYTE*>(der.data()), size,
                                                   CERT_STORE_ADD_REPLACE_EXISTING, &added) &&
                  CertControlStore(root, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  store_ = root;
  added_ = added;
  if (!ok) {
    this->~TrustGuard();
    throw std::runtime_error("cannot add the test authority to the root store");
  }
}

TestPki::TrustGuard::~TrustGuard() {
  // Deleting frees the context too.
  if (added_ != nullptr) CertDeleteCertificateFromStore(static_cast<PCCERT_CONTEXT>(added_));
  if (store_ != nullptr) {
    CertControlStore(store_, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    CertCloseStore(store_, 0);
  }
  added_ = store_ = nullptr;
}

// ---- The server's end of one connection.

std::vector<std::string> TlsPeer::Call(const std::string& command, std::vector<std::string> args) {
  return channel_.Call(command, args);
}

TlsPeer::~TlsPeer() = default;

bool TlsPeer::Handshake() {
  const auto reply = Call("handshake");
  error_ = At(reply, 1);
  if (reply.empty()) error_ = "the TLS peer host is gone";
  if (At(reply, 0).empty()) return false;
  version_ = At(Call("version"), 0);
  serverName_ = At(Call("servername"), 0);
  return true;
}

std::string TlsPeer::Version() const { return version_; }
std::string TlsPeer::ServerName() const { return serverName_; }

bool TlsPeer::Write(std::string_view bytes) {
  const auto reply = Call("write", {std::string(bytes)});
  error_ = At(reply, 1);
  return !At(reply, 0).empty();
}

std::string TlsPeer::Read(std::size_t count) {
  const auto reply = Call("read", {std::to_string(count)});
  sawCloseNotify_ = !At(reply, 1).empty();
  return At(reply, 0);
}

std::string TlsPeer::ReadLine() {
  const auto reply = Call("readline");
  sawCloseNotify_ = !At(reply, 1).empty();
  return At(reply, 0);
}

std::string TlsPeer::ReadToEnd() {
  const auto reply = Call("readtoend");
  sawCloseNotify_ = !At(reply, 1).empty();
  return At(reply, 0);
}

void TlsPeer::SendCloseNotify() { Call("closenotify"); }

bool TlsPeer::WriteWithCloseNotify(std::string_view bytes) {
  return !At(Call("writeclose", {std::string(bytes)}), 0).empty();
}

bool TlsPeer::WritePlain(std::string_view bytes) {
  return !At(Call("writeplain", {std::string(bytes)}), 0).empty();
}

std::string TlsPeer::ReadPlainLine() { return At(Call("readplainline"), 0); }
std::string TlsPeer::ReadRaw(std::size_t count) {
  return At(Call("readraw", {std::to_string(count)}), 0);
}
std::string TlsPeer::ReadRawToEnd() { return At(Call("readrawtoend"), 0); }
void TlsPeer::CloseTcp() { Call("closetcp"); }

// ---- The server.

TlsTestServer::TlsTestServer(TlsServerOptions options, Session session)
    : TlsTestServer(std::move(options), std::vector<Session>{std::move(session)}) {}

TlsTestServer::TlsTestServer(TlsServerOptions options, std::vector<Session> sessions)
    : channel_(std::make_unique<remote::Channel>()),
      options_(std::move(options)),
      sessions_(std::move(sessions)) {
  const auto reply = Checked(channel_->Call("listen", {options_.files.cert, options_.files.key,
                                                       std::to_string(options_.maxVersion),
                                                       std::to_string(options_.ioTimeoutMs)}),
                             "listening");
  portText_ = At(reply, 1);
  thread_ = std::thread([this] {
    for (const Session& session : sessions_) {
      if (stopping_ || At(channel_->Call("accept", {std::to_string(kAcceptLimitMs)}), 0) != "ok") {
        break;
      }
      TlsPeer peer(*channel_);
      session(peer);
      channel_->Call("end", {});
    }
    finished_ = true;
  });
}

TlsTestServer::~TlsTestServer() {
  stopping_ = true;
  // A session still waiting for the host is woken by the end of the control
  // connection; the host's process for it ends with it.
  channel_->Cut();
  thread_.join();
}

}  // namespace corvel::test
