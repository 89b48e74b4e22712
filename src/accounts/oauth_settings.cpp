#include "accounts/oauth_settings.h"

#include <array>
#include <stdexcept>
#include <utility>

#include "accounts/file_io.h"

namespace corvel {
namespace {

using Field = std::string OAuthSettings::*;
constexpr std::array<std::pair<std::string_view, Field>, 7> kFields = {{
    {"command", &OAuthSettings::command},
    {"provider", &OAuthSettings::provider},
    {"client-id", &OAuthSettings::clientId},
    {"client-secret", &OAuthSettings::clientSecret},
    {"authorize-url", &OAuthSettings::authorizeUrl},
    {"token-url", &OAuthSettings::tokenUrl},
    {"scope", &OAuthSettings::scope},
}};

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::filesystem::path OAuthSettingsFileFor(const std::filesystem::path& accountsFile) {
  return accountsFile.parent_path() / kOAuthSettingsFileName;
}

OAuthSettingsFile::Sections OAuthSettingsFile::Parse(std::string_view content) {
  Sections sections;
  OAuthSettings* section = nullptr;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find('\n', pos);
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = &sections[std::string(line.substr(1, line.size() - 2))];
      continue;
    }
    const std::size_t equals = line.find('=');
    if (section == nullptr || equals == std::string_view::npos) continue;
    for (const auto& [name, field] : kFields) {
      if (line.substr(0, equals) == name) section->*field = std::string(line.substr(equals + 1));
    }
  }
  return sections;
}

std::string OAuthSettingsFile::Text(const Sections& sections) {
  std::string content;
  for (const auto& [key, settings] : sections) {
    content += "[" + key + "]\n";
    for (const auto& [name, field] : kFields) {
      if (!(settings.*field).empty()) content += std::string(name) + "=" + settings.*field + "\n";
    }
  }
  return content;
}

void OAuthSettingsFile::Load() {
  changes_.clear();
  const std::optional<std::string> content = ReadFileIfExists(fileName_);
  sections_ = content ? Parse(*content) : Sections();
}

void OAuthSettingsFile::Save() {
  if (changes_.empty()) return;
  Sections merged;
  (void)EditFileUnderLock(fileName_, [&](const std::optional<std::string>& current) {
    merged = current ? Parse(*current) : Sections();
    for (const auto& [key, settings] : changes_) {
      if (settings) {
        merged[key] = *settings;
      } else if (const auto it = merged.find(key); it != merged.end()) {
        merged.erase(it);
      }
    }
    return std::optional<std::string>(Text(merged));
  });
  sections_ = std::move(merged);
  changes_.clear();
}

std::optional<OAuthSettings> OAuthSettingsFile::Find(std::string_view key) const {
  const auto it = sections_.find(key);
  if (it == sections_.end()) return std::nullopt;
  return it->second;
}

void OAuthSettingsFile::Set(const std::string& key, const OAuthSettings& settings) {
  if (key.empty()) throw std::invalid_argument("an account without a seen-message file name");
  bool lineBreak = HasLineBreak(key);
  for (const auto& [name, field] : kFields) lineBreak = lineBreak || HasLineBreak(settings.*field);
  if (lineBreak) throw std::invalid_argument("an OAuth2 setting cannot hold a line break");
  sections_[key] = settings;
  changes_[key] = settings;
}

void OAuthSettingsFile::Erase(std::string_view key) {
  const auto it = sections_.find(key);
  if (it != sections_.end()) sections_.erase(it);
  changes_[std::string(key)] = std::nullopt;
}

}  // namespace corvel
