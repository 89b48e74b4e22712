// The OAuth 2.0 system pieces on Windows: random bytes and SHA-256 from
// CNG; the HTTP request, the loopback listener and the browser are not in
// this build yet, and say so.
#include "app/auth/oauth_platform.h"

#include <windows.h>
// windows.h first
#include <bcrypt.h>

#include <stdexcept>

namespace corvel {
namespace {

constexpr char kNotSupported[] =
    "the built-in OAuth2 authorization is not supported on this build (use a token command)";

}  // namespace

std::string SecureRandomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    throw std::runtime_error("no random bytes from the system");
  }
  return bytes;
}

std::string Sha256Digest(std::string_view data) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    throw std::runtime_error("SHA-256 is not available");
  }
  std::string digest(32, '\0');
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                            static_cast<ULONG>(data.size()), 0) == 0;
  ok = ok && BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) throw std::runtime_error("SHA-256 failed");
  return digest;
}

std::optional<UrlParts> ParseUrl(const std::string& /*url*/, std::string& why) {
  why = kNotSupported;
  return std::nullopt;
}

HttpFormAnswer PostForm(const std::string& /*url*/, const FormFields& /*fields*/,
                        int /*timeoutMs*/) {
  HttpFormAnswer answer;
  answer.reason = kNotSupported;
  return answer;
}

bool OpenInBrowser(const std::string& /*url*/, std::string& why) {
  why = kNotSupported;
  return false;
}

LoopbackListener::LoopbackListener() { throw std::runtime_error(kNotSupported); }

LoopbackListener::~LoopbackListener() = default;

LoopbackListener::Request LoopbackListener::Wait(
    std::string_view /*path*/, int /*timeoutMs*/,
    const std::function<Answer(const std::string& target)>& /*answer*/) {
  return {false, {}, kNotSupported};
}

}  // namespace corvel
