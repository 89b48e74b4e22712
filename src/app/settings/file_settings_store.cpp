#include "app/settings/file_settings_store.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "accounts/file_io.h"
#include "codec/ascii.h"

namespace corvel {
namespace {

constexpr std::string_view kSettingsFolderName = "qor";
constexpr std::string_view kSettingsFileName = "Corvel.conf";
constexpr std::string_view kAutostartFolderName = "autostart";
constexpr std::string_view kAutostartFileName = "qor-corvel.desktop";
constexpr std::string_view kDesktopEntryGroup = "[Desktop Entry]";
// What the program puts behind its path in the logon entry.
constexpr std::string_view kMinimizeSwitch = " --MINIMIZE";

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// %XX for the bytes that would break a line apart or be read as syntax.
std::string Escape(std::string_view text, std::string_view alsoEscaped) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) || ch == '%' || alsoEscaped.find(ch) != std::string_view::npos) {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

// Nothing for a '%' that is not followed by two hex digits.
std::optional<std::string> Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexDigitValue(text[i + 1]);
    const int low = HexDigitValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

constexpr std::string_view kEscapedInNames = "=[]#;";
constexpr std::string_view kEscapedInKeys = "[]";

// The file's lines without their line ends (LF, or CR LF from an editor).
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

FileSettingsStore::Section* FindSection(std::vector<FileSettingsStore::Section>& sections,
                                        std::string_view key) {
  for (FileSettingsStore::Section& section : sections) {
    if (section.key && SameSettingsKey(*section.key, key)) return &section;
  }
  return nullptr;
}

bool IsAutostartValue(std::string_view key, std::string_view name) {
  return SameSettingsKey(key, kRunKey) && SameSettingsName(name, kRunValueName);
}

// ---- Desktop entry values (the "string" type of the desktop entry format).

std::string EscapeDesktopString(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  // A leading blank would be taken for the blank after "=".
  if (!out.empty() && out.front() == ' ') out.replace(0, 1, "\\s");
  return out;
}

std::string UnescapeDesktopString(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:  // not an escape: keep both characters
        out += '\\';
        out += text[i];
    }
  }
  return out;
}

// One argument of an Exec line: quoted when it holds a character the format
// reserves (or is empty), '%' doubled so it is not a field code.
std::string ExecArgument(std::string_view argument) {
  constexpr std::string_view kReserved = " \t\n\r\"'\\><~|&;$*?#()`";
  bool quote = argument.empty();
  for (const char c : argument) {
    if (kReserved.find(c) != std::string_view::npos || IsControl(static_cast<unsigned char>(c))) {
      quote = true;
    }
  }
  std::string out;
  if (quote) out += '"';
  for (const char c : argument) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
    out += c;
    if (c == '%') out += '%';
  }
  if (quote) out += '"';
  return out;
}

// The folder exists afterwards (creating it and its parents when needed).
bool MakeFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  // Something other than a folder under that name is not always reported.
  return !error && std::filesystem::is_directory(folder, error);
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------

std::filesystem::path FileSettingsStore::DefaultConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg != '\0') {
    std::filesystem::path folder(xdg);
    // Relative paths in XDG variables are to be ignored.
    if (folder.is_absolute()) return folder;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return std::filesystem::path(home) / ".config";
  return std::filesystem::path(".config");
}

FileSettingsStore::FileSettingsStore(std::filesystem::path configFolder)
    : configFolder_(std::move(configFolder)) {}

std::filesystem::path FileSettingsStore::SettingsFile() const {
  return configFolder_ / kSettingsFolderName / kSettingsFileName;
}

std::filesystem::path FileSettingsStore::AutostartFile() const {
  return configFolder_ / kAutostartFolderName / kAutostartFileName;
}

void FileSettingsStore::Open() {
  sections_.clear();
  unreadable_ = false;
  open_ = true;
  // The stamp first: a change that lands between the two shows as a stamp
  // that no longer matches, and the file is read again.
  stamp_ = StampOf(SettingsFile());
  try {
    const std::optional<std::string> text = ReadFileIfExists(SettingsFile());
    if (text) sections_ = ParseSettingsText(*text);
  } catch (const InOutException& e) {
    // A path through something that is not a folder holds no file at all.
    // Anything else: defaults for everything, and since the file's content
    // is unknown, it must not be replaced by what little this run writes.
    if (e.ErrorCode() != ENOTDIR) unreadable_ = true;
  }
}

void FileSettingsStore::Refresh() {
  if (open_ && StampOf(SettingsFile()) == stamp_) return;
  Open();
}

void FileSettingsStore::Close() {
  sections_.clear();
  open_ = false;
}

void FileSettingsStore::EnsureOpen() {
  if (!open_) Open();
}

std::optional<std::string> FileSettingsStore::ReadValue(std::string_view key,
                                                        std::string_view name) {
  if (IsAutostartValue(key, name)) return ReadAutostart();
  EnsureOpen();
  Section* section = FindSection(sections_, key);
  if (section == nullptr) return std::nullopt;
  for (const Line& line : section->lines) {
    if (line.isValue && SameSettingsName(line.name, name)) return line.value;
  }
  return std::nullopt;
}

void FileSettingsStore::WriteValue(std::string_view key, std::string_view name,
                                   std::string_view text) {
  if (IsAutostartValue(key, name)) {
    WriteAutostart(text);
    return;
  }
  EnsureOpen();
  if (unreadable_) throw SettingsException::SetDataFailed(name);
  ChangeFile(key, name, [&](std::vector<Section>& sections) {
    Section* section = FindSection(sections, key);
    if (section == nullptr) {
      sections.push_back(Section{std::string(key), {}});
      section = &sections.back();
    }
    bool set = false;
    bool changed = false;
    for (auto it = section->lines.begin(); it != section->lines.end();) {
      if (!it->isValue || !SameSettingsName(it->name, name)) {
        ++it;
      } else if (!set) {
        changed = changed || it->value != text;
        it->value = std::string(text);
        set = true;
        ++it;
      } else {
        it = section->lines.erase(it);  // a repeated value would hide nothing but confuse
        changed = true;
      }
    }
    if (!set) {
      Line line;
      line.isValue = true;
      line.name = std::string(name);
      line.value = std::string(text);
      section->lines.push_back(std::move(line));
      changed = true;
    }
    return changed;
  });
}

void FileSettingsStore::RemoveValue(std::string_view key, std::string_view name) {
  if (IsAutostartValue(key, name)) {
    RemoveAutostart();
    return;
  }
  // Nothing to delete, nothing written: not even the lock is taken.
  Refresh();
  if (!ReadValue(key, name)) return;
  try {
    ChangeFile(key, name, [&](std::vector<Section>& sections) {
      Section* section = FindSection(sections, key);
      if (section == nullptr) return false;
      const std::size_t before = section->lines.size();
      std::erase_if(section->lines, [name](const Line& line) {
        return line.isValue && SameSettingsName(line.name, name);
      });
      return section->lines.size() != before;
    });
  } catch (const SettingsException&) {
    throw SettingsException::DeleteFailed(name);
  }
}

void FileSettingsStore::ChangeFile(std::string_view key, std::string_view name,
                                   const std::function<bool(std::vector<Section>&)>& change) {
  if (!MakeFolder(SettingsFile().parent_path())) throw SettingsException::CreateKeyFailed(key);
  std::vector<Section> sections;
  try {
    const EditedFile edited =
        EditFileUnderLock(SettingsFile(), [&](const std::optional<std::string>& current) {
          sections = current ? ParseSettingsText(*current) : std::vector<Section>(1);
          if (!change(sections)) return std::optional<std::string>();
          return std::optional<std::string>(SettingsText(sections));
        });
    stamp_ = edited.stamp;
  } catch (const InOutException&) {
    throw SettingsException::SetDataFailed(name);
  }
  sections_ = std::move(sections);
}

// ---- The settings file's text.

std::vector<FileSettingsStore::Section> FileSettingsStore::ParseSettingsText(
    std::string_view text) {
  std::vector<Section> sections(1);  // the lines before the first header
  std::size_t current = 0;
  for (const std::string_view line : SplitLines(text)) {
    if (line.empty()) continue;  // blank lines only separate sections
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      std::optional<std::string> key = Unescape(line.substr(1, line.size() - 2));
      if (key) {
        // A repeated header continues the section it repeats.
        current = sections.size();
        for (std::size_t i = 0; i < sections.size(); ++i) {
          if (sections[i].key && SameSettingsKey(*sections[i].key, *key)) current = i;
        }
        if (current == sections.size()) sections.push_back(Section{std::move(key), {}});
      } else {
        // The values below belong to a key we cannot name: keep them, but
        // do not let them pass for values of the key above.
        current = sections.size();
        sections.push_back(Section{std::nullopt, {}});
        sections.back().lines.push_back(Line{false, {}, {}, std::string(line)});
      }
      continue;
    }
    Line parsed;
    parsed.raw = std::string(line);
    const std::size_t equals = line.find('=');
    const bool comment = line.front() == '#' || line.front() == ';';
    if (sections[current].key && !comment && equals != std::string_view::npos) {
      std::optional<std::string> name = Unescape(line.substr(0, equals));
      std::optional<std::string> value = Unescape(line.substr(equals + 1));
      if (name && value) {
        parsed.isValue = true;
        parsed.name = std::move(*name);
        parsed.value = std::move(*value);
        parsed.raw.clear();
      }
    }
    sections[current].lines.push_back(std::move(parsed));
  }
  return sections;
}

std::string FileSettingsStore::SettingsText(const std::vector<Section>& sections) {
  std::string text;
  for (const Section& section : sections) {
    if (!section.key && section.lines.empty()) continue;
    if (!text.empty()) text += '\n';
    if (section.key) text += "[" + Escape(*section.key, kEscapedInKeys) + "]\n";
    for (const Line& line : section.lines) {
      if (line.isValue) {
        text += Escape(line.name, kEscapedInNames) + "=" + Escape(line.value, {}) + "\n";
      } else {
        text += line.raw + "\n";
      }
    }
  }
  return text;
}

// ---- The autostart file.

std::string FileSettingsStore::ExecLineFor(std::string_view valueText) {
  std::string exec;
  if (valueText.size() >= kMinimizeSwitch.size() &&
      valueText.substr(valueText.size() - kMinimizeSwitch.size()) == kMinimizeSwitch) {
    exec = ExecArgument(valueText.substr(0, valueText.size() - kMinimizeSwitch.size())) +
           std::string(kMinimizeSwitch);
  } else {
    exec = ExecArgument(valueText);
  }
  return EscapeDesktopString(exec);
}

std::string FileSettingsStore::ValueTextOfExecLine(std::string_view execValue) {
  const std::string exec = UnescapeDesktopString(execValue);
  std::string text;
  bool first = true;
  std::size_t i = 0;
  while (i < exec.size()) {
    if (exec[i] == ' ') {
      ++i;
      continue;
    }
    std::string argument;
    bool quoted = false;
    bool hadFieldCodeOnly = true;
    while (i < exec.size() && (quoted || exec[i] != ' ')) {
      const char c = exec[i];
      if (c == '"') {
        quoted = !quoted;
        hadFieldCodeOnly = false;
        ++i;
      } else if (quoted && c == '\\' && i + 1 < exec.size()) {
        argument += exec[i + 1];
        hadFieldCodeOnly = false;
        i += 2;
      } else if (c == '%' && i + 1 < exec.size()) {
        // "%%" is a percent sign; any other field code stands for files or
        // URLs the program is not given at logon.
        if (exec[i + 1] == '%') {
          argument += '%';
          hadFieldCodeOnly = false;
        }
        i += 2;
      } else {
        argument += c;
        hadFieldCodeOnly = false;
        ++i;
      }
    }
    if (argument.empty() && hadFieldCodeOnly) continue;
    if (!first) text += ' ';
    text += argument;
    first = false;
  }
  return text;
}

std::optional<std::string> FileSettingsStore::ReadAutostart() const {
  std::optional<std::string> content;
  try {
    content = ReadFileIfExists(AutostartFile());
  } catch (const InOutException&) {
    return std::nullopt;  // an entry that cannot be read starts nothing either
  }
  if (!content) return std::nullopt;
  bool inEntry = false;
  std::optional<std::string> exec;
  for (const std::string_view line : SplitLines(*content)) {
    if (!line.empty() && line.front() == '[') {
      inEntry = TrimBlanks(line) == kDesktopEntryGroup;
      continue;
    }
    if (!inEntry) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = TrimBlanks(line.substr(0, equals));
    std::string_view value = line.substr(equals + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    // A hidden entry counts as deleted, as the autostart rules have it.
    if (key == "Hidden" && TrimBlanks(value) == "true") return std::nullopt;
    if (key == "Exec" && !exec) exec = ValueTextOfExecLine(value);
  }
  return exec;
}

void FileSettingsStore::WriteAutostart(std::string_view text) const {
  if (!MakeFolder(AutostartFile().parent_path())) throw SettingsException::CreateKeyFailed(kRunKey);
  std::string content;
  content += kDesktopEntryGroup;
  content += "\nType=Application\nName=Corvel!\nComment=Checks POP3 mailboxes for new mail\n";
  content += "Exec=" + ExecLineFor(text) + "\n";
  // The program opens its files by bare name: started at logon, it must run
  // in the folder that holds them.
  std::filesystem::path folder = programFolder_;
  if (folder.empty()) {
    std::error_code error;
    folder = std::filesystem::current_path(error);
  }
  if (!folder.empty()) content += "Path=" + EscapeDesktopString(folder.string()) + "\n";
  content += "Terminal=false\nX-GNOME-Autostart-enabled=true\n";
  try {
    (void)EditFileUnderLock(AutostartFile(), [&content](const std::optional<std::string>&) {
      return std::optional<std::string>(content);
    });
  } catch (const InOutException&) {
    throw SettingsException::SetDataFailed(kRunValueName);
  }
}

void FileSettingsStore::RemoveAutostart() const {
  std::error_code error;
  std::filesystem::remove(AutostartFile(), error);
  // A missing file (or autostart folder) means there is nothing to delete.
  if (error && error != std::errc::no_such_file_or_directory &&
      error != std::errc::not_a_directory) {
    throw SettingsException::DeleteFailed(kRunValueName);
  }
}

}  // namespace corvel
