// The Windows Credential Manager is not reached yet: an account that keeps
// its password in the keyring fails with this reason, and nothing is written.
#include "app/secret_store.h"

namespace corvel {
namespace {

class UnavailableStore final : public SecretStore {
 public:
  SecretResult Read(const SecretKey& /*key*/) override { return Failure(); }
  SecretResult Write(const SecretKey& /*key*/, std::string_view /*label*/,
                     std::string_view /*secret*/) override {
    return Failure();
  }
  SecretResult Erase(const SecretKey& /*key*/) override { return Failure(); }

 private:
  static SecretResult Failure() {
    return {false, {}, "The Windows Credential Manager is not supported yet"};
  }
};

}  // namespace

std::unique_ptr<SecretStore> SystemSecretStore() { return std::make_unique<UnavailableStore>(); }

}  // namespace corvel
