#include "accounts/account_options.h"

#include <algorithm>
#include <stdexcept>

#include "accounts/file_io.h"
#include "codec/utf8.h"

namespace corvel {
namespace {

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::filesystem::path AccountOptionsFileFor(const std::filesystem::path& accountsFile) {
  return accountsFile.parent_path() / kAccountOptionsFileName;
}

// ---- A section.

std::optional<std::string> OptionSection::Get(std::string_view key) const {
  for (const Line& line : lines_) {
    if (line.keyed && line.key == key) return line.value;
  }
  return std::nullopt;
}

void OptionSection::Set(std::string_view key, std::string_view value) {
  if (key.empty() || key.find('=') != std::string_view::npos || key.front() == '[' ||
      HasLineBreak(key)) {
    throw std::invalid_argument("an option name cannot be '" + std::string(key) + "'");
  }
  if (HasLineBreak(value)) throw std::invalid_argument("an option cannot hold a line break");
  for (Line& line : lines_) {
    if (line.keyed && line.key == key) {
      line.value = std::string(value);
      return;
    }
  }
  lines_.push_back({std::string(key), std::string(value), true});
}

void OptionSection::Erase(std::string_view key) {
  std::erase_if(lines_, [&](const Line& line) { return line.keyed && line.key == key; });
}

// ---- The file.

AccountOptionsFile AccountOptionsFile::Parse(std::string_view content) {
  AccountOptionsFile file;
  OptionSection* section = nullptr;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = &file.Section(line.substr(1, line.size() - 2));
      continue;
    }
    if (section == nullptr) {
      file.preamble_.emplace_back(line);
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      section->lines_.push_back({std::string(line), {}, false});
    } else {
      section->lines_.push_back(
          {std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)), true});
    }
  }
  return file;
}

std::string AccountOptionsFile::Text() const {
  std::string text;
  for (const std::string& line : preamble_) text += line + "\n";
  for (const auto& [name, section] : sections_) {
    text += "[" + name + "]\n";
    for (const OptionSection::Line& line : section.lines_) {
      text += line.keyed ? line.key + "=" + line.value + "\n" : line.key + "\n";
    }
  }
  return text;
}

const OptionSection* AccountOptionsFile::Find(std::string_view name) const {
  for (const auto& [sectionName, section] : sections_) {
    if (sectionName == name) return &section;
  }
  return nullptr;
}

OptionSection& AccountOptionsFile::Section(std::string_view name) {
  for (auto& [sectionName, section] : sections_) {
    if (sectionName == name) return section;
  }
  sections_.emplace_back(std::string(name), OptionSection{});
  return sections_.back().second;
}

void AccountOptionsFile::Erase(std::string_view name) {
  std::erase_if(sections_, [&](const auto& entry) { return entry.first == name; });
}

AccountOptionsFile LoadAccountOptions(const std::filesystem::path& fileName) {
  const std::optional<std::string> content = ReadFileIfExists(fileName);
  return AccountOptionsFile::Parse(content ? *content : std::string());
}

void EditAccountOptions(const std::filesystem::path& fileName, std::string_view name,
                        const std::function<void(OptionSection&)>& edit) {
  if (name.empty() || HasLineBreak(name) || name.find(']') != std::string_view::npos) {
    throw std::invalid_argument("an account without a usable seen-message file name");
  }
  (void)EditFileUnderLock(
      fileName, [&](const std::optional<std::string>& current) -> std::optional<std::string> {
        AccountOptionsFile file = AccountOptionsFile::Parse(current ? *current : std::string());
        OptionSection& section = file.Section(name);
        edit(section);
        if (section.Empty()) file.Erase(name);
        std::string text = file.Text();
        // An edit that changes nothing leaves the file (or its absence) alone.
        if (text == (current ? *current : std::string())) return std::nullopt;
        return text;
      });
}

// ---- The protocol options.

std::string_view ProtocolName(MailProtocol protocol) {
  return protocol == MailProtocol::imap ? "imap" : "pop3";
}

std::optional<MailProtocol> ParseProtocolName(std::string_view name) {
  if (name == "imap") return MailProtocol::imap;
  if (name == "pop3") return MailProtocol::pop3;
  return std::nullopt;
}

ProtocolOptions ProtocolOptionsOf(const OptionSection* section) {
  ProtocolOptions options;
  if (section == nullptr) return options;
  const std::optional<std::string> protocol = section->Get(kProtocolKey);
  // A protocol this version does not know is checked as POP3, as by a
  // version that knows no protocol at all.
  options.protocol = ParseProtocolName(protocol.value_or("")).value_or(MailProtocol::pop3);
  if (const std::optional<std::string> folders = section->Get(kFoldersKey)) {
    std::string why;
    if (auto list = ParseFolderList(*folders, why)) options.folders = std::move(*list);
  }
  return options;
}

void StoreProtocolOptions(const ProtocolOptions& options, OptionSection& section) {
  if (options.protocol == MailProtocol::pop3) {
    section.Erase(kProtocolKey);
    section.Erase(kFoldersKey);
    return;
  }
  section.Set(kProtocolKey, ProtocolName(options.protocol));
  section.Set(kFoldersKey, FolderListText(options.folders));
}

std::optional<std::vector<std::string>> ParseFolderList(std::string_view text, std::string& why) {
  std::vector<std::string> folders;
  if (Trim(text).empty()) {
    why = "No folder specified!";
    return std::nullopt;
  }
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view name = Trim(text.substr(0, comma));
    if (name.empty()) {
      why = "A folder name cannot be empty!";
      return std::nullopt;
    }
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (control || !IsWellFormedUtf8(name)) {
      why = "The folder name '" + std::string(name) + "' cannot be used!";
      return std::nullopt;
    }
    if (std::find(folders.begin(), folders.end(), name) == folders.end()) {
      folders.emplace_back(name);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return folders;
}

std::string FolderListText(const std::vector<std::string>& folders) {
  std::string text;
  for (const std::string& folder : folders) {
    if (!text.empty()) text += ',';
    text += folder;
  }
  return text;
}

}  // namespace corvel
