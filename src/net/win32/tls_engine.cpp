// The TLS engine of Windows builds.
#include "net/tls_engine.h"

namespace corvel {

std::unique_ptr<TlsEngine> TlsEngine::Create(const std::string& /*host*/, std::string& reason) {
  reason = "TLS is not available in this build";
  return nullptr;
}

}  // namespace corvel
