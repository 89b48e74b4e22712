#include "app/settings/settings_store.h"

#include <string>
#include <utility>

#include "codec/ascii.h"

namespace corvel {
namespace {

std::string_view WithoutOuterBackslashes(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

}  // namespace

SettingsException SettingsException::CreateKeyFailed(std::string_view key) {
  return SettingsException("Failed to create key " + std::string(key));
}

SettingsException SettingsException::SetDataFailed(std::string_view name) {
  return SettingsException("Failed to set data for '" + std::string(name) + "'");
}

SettingsException SettingsException::InvalidDataType(std::string_view name) {
  return SettingsException("Invalid data type for '" + std::string(name) + "'");
}

SettingsException SettingsException::DeleteFailed(std::string_view name) {
  return SettingsException("Failed to delete value '" + std::string(name) + "'");
}

bool SameSettingsKey(std::string_view a, std::string_view b) {
  return EqualsIgnoreAsciiCase(WithoutOuterBackslashes(a), WithoutOuterBackslashes(b));
}

bool SameSettingsName(std::string_view a, std::string_view b) {
  return EqualsIgnoreAsciiCase(a, b);
}

std::string SettingsStore::ReadString(std::string_view key, std::string_view name,
                                      std::string_view defaultText) {
  std::optional<std::string> value = ReadValue(key, name);
  return value ? std::move(*value) : std::string(defaultText);
}

std::int32_t SettingsStore::ReadInteger(std::string_view key, std::string_view name,
                                        std::int32_t defaultValue) {
  const std::optional<std::string> value = ReadValue(key, name);
  if (!value) return defaultValue;
  return ParseWholeNumber(*value).value_or(defaultValue);
}

void SettingsStore::WriteString(std::string_view key, std::string_view name,
                                std::string_view text) {
  WriteValue(key, name, text);
}

void SettingsStore::WriteInteger(std::string_view key, std::string_view name, std::int32_t value) {
  WriteValue(key, name, std::to_string(value));
}

void SettingsStore::DeleteValue(std::string_view key, std::string_view name) {
  RemoveValue(key, name);
}

}  // namespace corvel
