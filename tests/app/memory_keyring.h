// A keyring in memory for tests, one secret per server, port, user, kind and
// account;
// the tests look into `secrets`.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "app/auth/secret_store.h"

namespace corvel::test {

class MemoryKeyring final : public SecretStore {
 public:
  SecretResult Read(const SecretKey& key) override {
    const auto it = secrets.find(Name(key));
    if (it == secrets.end()) return {false, {}, "nothing filed"};
    return {true, it->second, {}};
  }
  SecretResult Write(const SecretKey& key, std::string_view, std::string_view secret) override {
    if (key.account.empty()) return {false, {}, "no account"};  // as the system's keyring
    secrets[Name(key)] = std::string(secret);
    return {true, {}, {}};
  }
  SecretResult Erase(const SecretKey& key) override {
    secrets.erase(Name(key));
    return {true, {}, {}};
  }
  static std::string Name(const SecretKey& key) {
    return key.server + ":" + std::to_string(key.port) + ":" + key.user + ":" + key.kind +
           (key.account.empty() ? "" : ":" + key.account);
  }

  std::map<std::string, std::string> secrets;
};

}  // namespace corvel::test
