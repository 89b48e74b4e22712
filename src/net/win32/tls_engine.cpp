// The TLS engine of Windows builds: SChannel through SSPI over memory
// buffers. The server's certificate is checked here rather than by SChannel
// (manual validation), as soon as the server has sent it: the chain against
// the system's certificate store, then the host name, so that a refused
// server never receives the client's key exchange, and the reasons read as
// on other platforms.
#include "net/tls_engine.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <wincrypt.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "net/resolve.h"

namespace corvel {
namespace {

constexpr unsigned char kAlert = 21;  // a TLS record's content type

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return text;
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (unsigned char c : text) wide += static_cast<wchar_t>(c);
  return wide;
}

// Names in a certificate are ASCII (IDNA); anything else never matches.
std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; text != nullptr && *text != 0; ++text) {
    narrow += *text < 0x80 ? static_cast<char>(*text) : '\x01';
  }
  return narrow;
}

// SChannel's failures in a few words, the common ones as other platforms
// put them.
std::string StatusReason(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
      return "unsupported protocol";
    case SEC_E_ILLEGAL_MESSAGE:
      return "unexpected message";
    case SEC_E_DECRYPT_FAILURE:
    case SEC_E_MESSAGE_ALTERED:
      return "decryption failed or bad record mac";
    case SEC_E_CERT_EXPIRED:
      return "certificate has expired";
    case SEC_E_WRONG_PRINCIPAL:
      return "host name mismatch";
    case SEC_E_UNTRUSTED_ROOT:
      return "unable to get local issuer certificate";
    case SEC_E_INTERNAL_ERROR:
      return "internal error";
    default:
      break;
  }
  char text[40];
  std::snprintf(text, sizeof text, "SChannel error 0x%08lX",
                static_cast<unsigned long>(static_cast<DWORD>(status)));
  return text;
}

// RFC 6125 matching of one certificate name: case-insensitive, with a
// wildcard only as the whole left-most label, standing for one label.
bool NameMatches(const std::string& pattern, const std::string& host) {
  const std::string p = Lower(pattern);
  if (p == host) return true;
  if (p.size() < 3 || p.compare(0, 2, "*.") != 0) return false;
  const std::string rest = p.substr(1);                      // ".example.com"
  if (rest.find('.', 1) == std::string::npos) return false;  // never "*.com"
  const std::size_t dot = host.find('.');
  return dot != std::string::npos && dot > 0 && host.compare(dot, std::string::npos, rest) == 0;
}

// The address of a literal as the certificate holds it (4 or 16 bytes);
// empty when the text is no address.
std::string AddressBytes(const std::string& host) {
  if (IsDottedQuad(host)) {
    const std::uint32_t address = DottedQuadToAddress(host);
    return std::string(reinterpret_cast<const char*>(&address), 4);
  }
  sockaddr_storage storage{};
  int length = sizeof storage;
  std::wstring wide = Widen(host);
  if (WSAStringToAddressW(wide.data(), AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&storage),
                          &length) != 0) {
    return {};
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
  return std::string(reinterpret_cast<const char*>(&in6->sin6_addr), 16);
}

bool IsAddressLiteral(std::string_view host) {
  return IsDottedQuad(host) || host.find(':') != std::string_view::npos;
}

// Empty when `cert` names `host` (a name, or an address literal), else why not.
std::string HostProblem(PCCERT_CONTEXT cert, const std::string& host) {
  const bool address = IsAddressLiteral(host);
  const std::string wantedAddress = address ? AddressBytes(host) : std::string();
  const std::string wantedName = Lower(host);
  bool sawDnsName = false;
  PCERT_EXTENSION extension = CertFindExtension(
      szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (extension != nullptr) {
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                            extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                            &size)) {
      bool matched = false;
      for (DWORD i = 0; i < names->cAltEntry && !matched; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
          sawDnsName = true;
          matched = !address && NameMatches(Narrow(entry.pwszDNSName), wantedName);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && address) {
          matched = !wantedAddress.empty() &&
                    std::string_view(reinterpret_cast<const char*>(entry.IPAddress.pbData),
                                     entry.IPAddress.cbData) == wantedAddress;
        }
      }
      LocalFree(names);
      if (matched) return {};
    }
  }
  if (address) return "IP address mismatch";
  if (!sawDnsName) {
    // A certificate without DNS names is read by its common name.
    wchar_t common[256] = L"";
    CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common,
                       256);
    if (NameMatches(Narrow(common), wantedName)) return {};
  }
  return "host name mismatch";
}

// Empty when the system's store trusts the chain `cert` heads, and it is in
// its time; else why not. The host name is checked after the trust and
// before the time, as other platforms do.
std::string CertificateVerdict(PCCERT_CONTEXT cert, const std::string& host) {
  // A chain engine of its own for each server: the default one reads the
  // system's stores once, and would not see an authority trusted since.
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot);  // as Windows 7 knows it
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(&config, &engine)) engine = nullptr;
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const bool built =
      CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain);
  if (engine != nullptr) CertFreeCertificateChainEngine(engine);
  if (!built) return "certificate verify failed";
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
  const DWORD length = simple != nullptr ? simple->cElement : 0;
  const bool leafSelfSigned =
      length > 0 && (simple->rgpElement[0]->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
  CertFreeCertificateChain(chain);

  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    if (length <= 1 && leafSelfSigned) return "self-signed certificate";
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
    return "self-signed certificate in certificate chain";
  }
  if (std::string problem = HostProblem(cert, host); !problem.empty()) return problem;
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) {
    return CertVerifyTimeValidity(nullptr, cert->pCertInfo) < 0 ? "certificate is not yet valid"
                                                                : "certificate has expired";
  }
  if (status & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  constexpr DWORD kIgnored = CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                             CERT_TRUST_IS_OFFLINE_REVOCATION | CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  if (status & ~kIgnored) return "certificate verify failed";
  return {};
}

class SchannelEngine final : public TlsEngine {
 public:
  ~SchannelEngine() override {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
  }

  bool Init(const std::string& host, std::string& reason) {
    host_ = host;
    // An address is checked against the certificate's addresses and sent
    // without SNI, which names hosts only.
    if (!IsAddressLiteral(host)) target_ = Widen(host);
    // TLS 1.3 where the system has it; systems that do not know the flag
    // refuse it, and then TLS 1.2 alone.
    for (DWORD protocols : {static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                            static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
      SCHANNEL_CRED cred{};
      cred.dwVersion = SCHANNEL_CRED_VERSION;
      cred.grbitEnabledProtocols = protocols;
      cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
      TimeStamp expiry;
      const SECURITY_STATUS status = AcquireCredentialsHandleW(
          nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &cred,
          nullptr, nullptr, &credentials_, &expiry);
      if (status == SEC_E_OK) {
        haveCredentials_ = true;
        return true;
      }
      reason = "cannot set up TLS: " + StatusReason(status);
    }
    return false;
  }

  void PutInput(const char* data, std::size_t size) override { input_.append(data, size); }

  std::string TakeOutput() override {
    std::string out;
    out.swap(output_);
    return out;
  }

  Status Handshake(std::string& reason) override {
    if (established_) return Status::kDone;
    if (failed_) return Status::kFailed;
    const Status status = Negotiate(reason);
    if (status == Status::kDone) {
      if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
          sizes_.cbMaximumMessage == 0) {
        return Fail("cannot read the TLS record sizes", reason);
      }
      if (!VersionAllowed()) return Fail("unsupported protocol", reason);
      established_ = true;
    }
    return status;
  }

  std::string CertificateProblem() override { return certificateProblem_; }

  bool Encrypt(const char* data, std::size_t size, std::string& reason) override {
    if (!established_ || failed_) {
      reason = "no TLS session";
      return false;
    }
    std::string record;
    for (std::size_t done = 0; done < size;) {
      const std::size_t piece = std::min<std::size_t>(sizes_.cbMaximumMessage, size - done);
      record.assign(sizes_.cbHeader + piece + sizes_.cbTrailer, '\0');
      std::memcpy(record.data() + sizes_.cbHeader, data + done, piece);
      SecBuffer buffers[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + piece},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
      if (status != SEC_E_OK) {
        reason = StatusReason(status);
        return false;
      }
      output_.append(record.data(),
                     buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      done += piece;
    }
    return true;
  }

  Status Decrypt(std::string& plain, std::size_t limit, std::string& reason) override {
    if (failed_) return Status::kFailed;
    if (closed_) return Status::kClosed;
    while (plain.size() < limit) {
      if (renegotiating_) {
        // Handshake messages after the handshake (a TLS 1.3 session ticket
        // or key update, a renegotiation): SChannel takes them as a
        // handshake continued, and may have something to answer.
        const Status status = Negotiate(reason);
        if (status == Status::kWantMore) return status;
        if (status == Status::kFailed) return status;
        renegotiating_ = false;
        continue;
      }
      if (input_.empty()) return Status::kWantMore;
      SecBuffer buffers[4] = {
          {static_cast<unsigned long>(input_.size()), SECBUFFER_DATA, input_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
      const auto recordType = static_cast<unsigned char>(input_[0]);
      const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Status::kWantMore;
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        reason = StatusReason(status);
        failed_ = true;
        return Status::kFailed;
      }
      std::string extra;
      for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
          plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.cbBuffer > 0) {
          // What follows the record, left at the end of the input.
          extra.assign(input_.data() + input_.size() - buffer.cbBuffer, buffer.cbBuffer);
        }
      }
      input_.swap(extra);
      // Windows tells the peer's close_notify as the context's end; Wine
      // as an alert record that held no data.
      bool sawAlert = false;
      for (const SecBuffer& buffer : buffers) {
        sawAlert |= buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer == 0;
      }
      if (status == SEC_I_CONTEXT_EXPIRED ||
          (status == SEC_E_OK && recordType == kAlert && sawAlert)) {
        closed_ = true;
        return Status::kClosed;
      }
      if (status == SEC_I_RENEGOTIATE) renegotiating_ = true;
    }
    return Status::kWantMore;
  }

  void Shutdown() override {
    if (!haveContext_) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&context_, &controlDesc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    DWORD attributes = 0;
    TimeStamp expiry;
    InitializeSecurityContextW(&credentials_, &context_, TargetName(), kContextFlags, 0, 0, nullptr,
                               0, nullptr, &outDesc, &attributes, &expiry);
    TakeToken(out);
  }

  std::string Version() const override {
    SecPkgContext_ConnectionInfo info{};
    auto* context = const_cast<CtxtHandle*>(&context_);
    if (!haveContext_ ||
        QueryContextAttributesW(context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
      return {};
    }
    if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    if (info.dwProtocol & SP_PROT_TLS1_1_CLIENT) return "TLSv1.1";
    if (info.dwProtocol & SP_PROT_TLS1_0_CLIENT) return "TLSv1";
    return "unknown";
  }

 private:
  wchar_t* TargetName() { return target_.empty() ? nullptr : target_.data(); }

  Status Fail(const std::string& why, std::string& reason) {
    failed_ = true;
    reason = why;
    return Status::kFailed;
  }

  bool VersionAllowed() const {
    const std::string version = Version();
    return version == "TLSv1.2" || version == "TLSv1.3";
  }

  // Appends an output token to `into` and gives its memory back.
  static void TakeToken(SecBuffer& buffer, std::string& into) {
    if (buffer.pvBuffer == nullptr) return;
    if (buffer.cbBuffer > 0)
      into.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    FreeContextBuffer(buffer.pvBuffer);
    buffer.pvBuffer = nullptr;
  }
  void TakeToken(SecBuffer& buffer) { TakeToken(buffer, output_); }

  // Runs InitializeSecurityContext as far as the input allows: the first
  // call writes the ClientHello; later ones take the server's records.
  Status Negotiate(std::string& reason) {
    for (;;) {
      if (haveContext_ && input_.empty()) return Status::kWantMore;
      // A TLS record starts with its content type, 20 to 23, and version
      // major 3: anything else is no TLS, and waiting for the length it
      // seems to announce would only hang.
      if (!input_.empty()) {
        const auto type = static_cast<unsigned char>(input_[0]);
        if (type < 20 || type > 23 || (input_.size() > 1 && input_[1] != 3)) {
          return Fail("wrong version number", reason);
        }
      }
      SecBuffer in[2] = {
          {static_cast<unsigned long>(input_.size()), SECBUFFER_TOKEN, input_.data()},
          {0, SECBUFFER_EMPTY, nullptr},
      };
      SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 2, out};
      DWORD attributes = 0;
      TimeStamp expiry;
      const bool first = !haveContext_;
      const SECURITY_STATUS status = InitializeSecurityContextW(
          &credentials_, first ? nullptr : &context_, TargetName(), kContextFlags, 0, 0,
          first ? nullptr : &inDesc, 0, &context_, &outDesc, &attributes, &expiry);
      if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext_ = true;
      std::string pending;
      TakeToken(out[0], pending);
      std::string alert;
      TakeToken(out[1], alert);
      if (status == SEC_E_INCOMPLETE_MESSAGE) return Status::kWantMore;
      if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        // The server asks for a client certificate. There is none to give:
        // the same input goes in once more, and the handshake goes on
        // without one (the server may then refuse it).
        output_ += pending;
        if (++withoutCertificate_ > 1) return Fail("the server wants a client certificate", reason);
        continue;
      }

      if (!first) {
        if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
          input_.erase(0, input_.size() - in[1].cbBuffer);
        } else {
          input_.clear();
        }
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        output_ += pending;
        output_ += alert;
        return Fail(StatusReason(status), reason);
      }
      // The certificate is judged as soon as it is there, before the
      // client's answer to it goes out.
      if (!certificateChecked_ && haveContext_ && !CheckCertificate(reason)) return Status::kFailed;
      output_ += pending;
      if (status == SEC_E_OK) {
        if (!certificateChecked_) return Fail("the server sent no certificate", reason);
        return Status::kDone;
      }
    }
  }

  // Judges the server's certificate once SChannel has it; false, with the
  // reason, when it is refused. Nothing to judge yet is no refusal.
  bool CheckCertificate(std::string& reason) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
      return true;
    }
    certificateChecked_ = true;
    certificateProblem_ = CertificateVerdict(cert, host_);
    CertFreeCertificateContext(cert);
    if (certificateProblem_.empty()) return true;
    Fail(certificateProblem_, reason);
    return false;
  }

  std::string host_;
  std::wstring target_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool haveCredentials_ = false;
  bool haveContext_ = false;
  bool certificateChecked_ = false;
  bool established_ = false;
  bool renegotiating_ = false;
  bool closed_ = false;
  bool failed_ = false;
  int withoutCertificate_ = 0;
  std::string certificateProblem_;
  SecPkgContext_StreamSizes sizes_{};
  std::string input_;
  std::string output_;
};

}  // namespace

std::unique_ptr<TlsEngine> TlsEngine::Create(const std::string& host, std::string& reason) {
  auto engine = std::make_unique<SchannelEngine>();
  if (!engine->Init(host, reason)) return nullptr;
  return engine;
}

}  // namespace corvel
