#include "app/settings/win32/registry_settings_store.h"

#include <utility>
#include <vector>

#include "app/settings/run_command_line.h"
#include "app/text/win32/wide_text.h"

namespace corvel {
namespace {

// The key path below a place: outer backslashes go, the place's prefix comes
// first.
std::wstring SubKey(const RegistrySettingsStore::Place& place, std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  std::wstring path = place.prefix;
  if (!path.empty() && !key.empty()) path += L'\\';
  path += WideText(key);
  return path;
}

class OpenKey {
 public:
  OpenKey() = default;
  ~OpenKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY* Out() { return &key_; }
  [[nodiscard]] HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

enum class Found { kMissing, kText, kOtherType };

Found Query(const RegistrySettingsStore::Place& place, std::string_view key, std::string_view name,
            std::string& text) {
  OpenKey open;
  if (RegOpenKeyExW(place.root, SubKey(place, key).c_str(), 0, KEY_QUERY_VALUE, open.Out()) !=
      ERROR_SUCCESS) {
    return Found::kMissing;
  }
  const std::wstring valueName = WideText(name);
  // The value may change between the size query and the read: ask again
  // until the buffer was big enough.
  std::vector<wchar_t> buffer(64);
  for (;;) {
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    const LONG result = RegQueryValueExW(open.Get(), valueName.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (result == ERROR_MORE_DATA) {
      buffer.resize(size / sizeof(wchar_t) + 2);
      continue;
    }
    if (result != ERROR_SUCCESS) return Found::kMissing;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return Found::kOtherType;
    // A stored string need not end in a zero, or may hold more than one.
    std::wstring_view value(buffer.data(), size / sizeof(wchar_t));
    if (const auto zero = value.find(L'\0'); zero != std::wstring_view::npos) {
      value = value.substr(0, zero);
    }
    text = Utf8Text(value);
    return Found::kText;
  }
}

// ERROR_SUCCESS, or why the value could not be removed; a missing key or
// value is removed already.
LONG Remove(const RegistrySettingsStore::Place& place, std::string_view key,
            std::string_view name) {
  OpenKey open;
  LONG result = RegOpenKeyExW(place.root, SubKey(place, key).c_str(), 0, KEY_SET_VALUE, open.Out());
  if (result == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) {
    // Without write access to a key that does not hold the value, there is
    // nothing to remove.
    std::string ignored;
    return Query(place, key, name, ignored) == Found::kMissing ? ERROR_SUCCESS : result;
  }
  result = RegDeleteValueW(open.Get(), WideText(name).c_str());
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

}  // namespace

RegistrySettingsStore::RegistrySettingsStore()
    : RegistrySettingsStore(Place{HKEY_CURRENT_USER, {}}, Place{HKEY_LOCAL_MACHINE, {}}) {}

RegistrySettingsStore::RegistrySettingsStore(Place writable, std::optional<Place> fallback,
                                             std::filesystem::path programFolder)
    : writable_(std::move(writable)),
      fallback_(std::move(fallback)),
      programFolder_(std::move(programFolder)) {}

std::optional<std::string> RegistrySettingsStore::ReadValue(std::string_view key,
                                                            std::string_view name) {
  std::string text;
  for (const Place* place : {&writable_, fallback_ ? &*fallback_ : nullptr}) {
    if (place == nullptr) continue;
    switch (Query(*place, key, name, text)) {
      case Found::kText:
        return text;
      case Found::kOtherType:
        throw SettingsException::InvalidDataType(name);
      case Found::kMissing:
        break;
    }
  }
  return std::nullopt;
}

void RegistrySettingsStore::WriteValue(std::string_view key, std::string_view name,
                                       std::string_view text) {
  OpenKey open;
  if (RegCreateKeyExW(writable_.root, SubKey(writable_, key).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, open.Out(),
                      nullptr) != ERROR_SUCCESS) {
    throw SettingsException::CreateKeyFailed(key);
  }
  std::string command;
  if (SameSettingsKey(key, kRunKey) && SameSettingsName(name, kRunValueName)) {
    std::filesystem::path folder = programFolder_;
    if (folder.empty()) {
      std::error_code error;
      folder = std::filesystem::current_path(error);
    }
    command = WindowsRunCommandLine(text, Utf8Text(folder.wstring()));
    text = command;
  }
  const std::wstring data = WideText(text);
  const DWORD size = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  if (RegSetValueExW(open.Get(), WideText(name).c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(data.c_str()), size) != ERROR_SUCCESS) {
    throw SettingsException::SetDataFailed(name);
  }
}

void RegistrySettingsStore::RemoveValue(std::string_view key, std::string_view name) {
  if (Remove(writable_, key, name) != ERROR_SUCCESS) throw SettingsException::DeleteFailed(name);
  if (fallback_ && Remove(*fallback_, key, name) != ERROR_SUCCESS) {
    throw SettingsException::DeleteFailed(name);
  }
}

}  // namespace corvel
