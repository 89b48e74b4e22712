// The keyring on Windows: the Credential Manager, with one generic
// credential per secret. Its target name is built from what the secret is
// and the account's server, port, user and seen-file name
// ("Corvel:password:tim@pop.example.com:995:work.uidl"; older versions left
// the name out), so the Credential Manager lists it by those; the secret's
// bytes are the credential's blob. These calls never prompt.
#include <windows.h>
// after windows.h
#include <wincred.h>

#include <string>

#include "app/auth/secret_store.h"

namespace corvel {
namespace {

// UTF-8 to UTF-16; text that is no UTF-8 is taken byte by byte as Latin-1.
std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring(text.begin(), text.end());
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::wstring TargetName(const SecretKey& key) {
  return Wide("Corvel:" + key.kind + ":" + key.user + "@" + key.server + ":" +
              std::to_string(key.port) + (key.account.empty() ? "" : ":" + key.account));
}

std::string ErrorText(DWORD code) {
  switch (code) {
    case ERROR_NO_SUCH_LOGON_SESSION:
      return "no logon session to keep credentials in";
    case ERROR_INVALID_PARAMETER:
      return "invalid parameter";
    case ERROR_BAD_USERNAME:
      return "unusable user name";
    default:
      return "error " + std::to_string(code);
  }
}

SecretResult Failure(std::string reason) { return {false, {}, std::move(reason)}; }

class CredentialStore final : public SecretStore {
 public:
  SecretResult Read(const SecretKey& key) override {
    const std::wstring target = TargetName(key);
    CREDENTIALW* credential = nullptr;
    if (!CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &credential)) {
      const DWORD error = GetLastError();
      if (error == ERROR_NOT_FOUND) {
        return Failure("No " + key.kind + " for this account in the Credential Manager");
      }
      return Failure("Credential Manager read failed: " + ErrorText(error));
    }
    std::string secret(reinterpret_cast<const char*>(credential->CredentialBlob),
                       credential->CredentialBlobSize);
    CredFree(credential);
    return {true, std::move(secret), {}};
  }

  SecretResult Write(const SecretKey& key, std::string_view label,
                     std::string_view secret) override {
    // As on every keyring: an entry is filed under its account.
    if (key.account.empty()) return Failure("The account has no seen-file name to file it under");
    if (secret.size() > CRED_MAX_CREDENTIAL_BLOB_SIZE) {
      return Failure("The " + key.kind + " is too long for the Credential Manager");
    }
    std::wstring target = TargetName(key);
    std::wstring comment = Wide(label);
    std::wstring user = Wide(key.user);
    std::string blob(secret);
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = target.data();
    credential.Comment = comment.empty() ? nullptr : comment.data();
    credential.UserName = user.empty() ? nullptr : user.data();
    credential.CredentialBlobSize = static_cast<DWORD>(blob.size());
    credential.CredentialBlob = reinterpret_cast<BYTE*>(blob.data());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    const bool written = CredWriteW(&credential, 0);
    const DWORD error = GetLastError();
    SecureZeroMemory(blob.data(), blob.size());
    if (!written) return Failure("Credential Manager write failed: " + ErrorText(error));
    return {true, {}, {}};
  }

  SecretResult Erase(const SecretKey& key) override {
    const std::wstring target = TargetName(key);
    if (CredDeleteW(target.c_str(), CRED_TYPE_GENERIC, 0) || GetLastError() == ERROR_NOT_FOUND) {
      return {true, {}, {}};
    }
    return Failure("Credential Manager delete failed: " + ErrorText(GetLastError()));
  }
};

}  // namespace

std::unique_ptr<SecretStore> SystemSecretStore() { return std::make_unique<CredentialStore>(); }

}  // namespace corvel
