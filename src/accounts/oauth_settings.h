// The OAuth 2.0 settings of accounts that do not fit their records: the token
// command, or the provider of Corvel's own authorization. They live in a small
// text file beside the accounts file, one section per account, named by the
// account's seen-message file name (no two accounts share one, and it stays
// when the account is renamed):
//
//   [0123...89.uidl]
//   command=oama access tim@example.com
//
// The file is changed under its lock, like the accounts file: a save applies
// the sections this object set or erased to the file as it is then, so
// another process's sections survive. It holds no secret: tokens are never
// written to it.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

inline constexpr std::string_view kOAuthSettingsFileName = "mail.oauth.qor";

struct OAuthSettings {
  std::string command;   // the token command line, as typed
  std::string provider;  // "microsoft", "google" or "custom"
  std::string clientId;
  std::string clientSecret;  // some providers want one even from desktop programs
  std::string authorizeUrl;
  std::string tokenUrl;
  std::string scope;

  friend bool operator==(const OAuthSettings&, const OAuthSettings&) = default;
};

// The side file that belongs to `accountsFile`: kOAuthSettingsFileName in the
// same folder.
[[nodiscard]] std::filesystem::path OAuthSettingsFileFor(const std::filesystem::path& accountsFile);

class OAuthSettingsFile {
 public:
  explicit OAuthSettingsFile(std::filesystem::path fileName) : fileName_(std::move(fileName)) {}

  // Reads the file; no file is no settings. Lines it does not know are
  // skipped. Throws InOutException.
  void Load();
  // Stores the sections set or erased since the last load or save into the
  // file as it is now (under its lock, atomically), and holds the result;
  // nothing is written when nothing was set or erased. Throws InOutException.
  void Save();

  [[nodiscard]] std::optional<OAuthSettings> Find(std::string_view key) const;
  // Throws std::invalid_argument when a value or the key holds a line break.
  void Set(const std::string& key, const OAuthSettings& settings);
  void Erase(std::string_view key);

  [[nodiscard]] const std::filesystem::path& FileName() const { return fileName_; }

 private:
  using Sections = std::map<std::string, OAuthSettings, std::less<>>;
  [[nodiscard]] static Sections Parse(std::string_view content);
  [[nodiscard]] static std::string Text(const Sections& sections);

  std::filesystem::path fileName_;
  Sections sections_;
  // The sections set (a value) or erased (nothing) since the last load.
  std::map<std::string, std::optional<OAuthSettings>, std::less<>> changes_;
};

}  // namespace corvel
