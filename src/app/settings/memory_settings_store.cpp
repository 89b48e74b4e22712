#include "app/settings/memory_settings_store.h"

#include <algorithm>

namespace corvel {

void MemorySettingsStore::Open() {
  open_ = true;
  ++openCount_;
}

void MemorySettingsStore::Close() { open_ = false; }

MemorySettingsStore::Key* MemorySettingsStore::FindKey(std::string_view key) {
  for (Key& k : keys_) {
    if (SameSettingsKey(k.path, key)) return &k;
  }
  return nullptr;
}

const MemorySettingsStore::Key* MemorySettingsStore::FindKey(std::string_view key) const {
  for (const Key& k : keys_) {
    if (SameSettingsKey(k.path, key)) return &k;
  }
  return nullptr;
}

MemorySettingsStore::Value& MemorySettingsStore::Put(std::string_view key, std::string_view name) {
  Key* k = FindKey(key);
  if (k == nullptr) {
    keys_.push_back(Key{std::string(key), {}});
    k = &keys_.back();
  }
  for (Value& v : k->values) {
    if (SameSettingsName(v.name, name)) return v;
  }
  k->values.push_back(Value{std::string(name), {}, true});
  return k->values.back();
}

void MemorySettingsStore::Preset(std::string_view key, std::string_view name,
                                 std::string_view text) {
  Value& v = Put(key, name);
  v.text = std::string(text);
  v.isText = true;
}

void MemorySettingsStore::PresetNonText(std::string_view key, std::string_view name) {
  Value& v = Put(key, name);
  v.text.clear();
  v.isText = false;
}

void MemorySettingsStore::SetWriteFailure(WriteFailure failure, std::string_view onlyName) {
  writeFailure_ = failure;
  failingName_ = std::string(onlyName);
}

bool MemorySettingsStore::HasKey(std::string_view key) const { return FindKey(key) != nullptr; }

std::optional<std::string> MemorySettingsStore::Peek(std::string_view key,
                                                     std::string_view name) const {
  const Key* k = FindKey(key);
  if (k == nullptr) return std::nullopt;
  for (const Value& v : k->values) {
    if (SameSettingsName(v.name, name)) return v.text;
  }
  return std::nullopt;
}

std::size_t MemorySettingsStore::ValueCount() const {
  std::size_t count = 0;
  for (const Key& k : keys_) count += k.values.size();
  return count;
}

std::optional<std::string> MemorySettingsStore::ReadValue(std::string_view key,
                                                          std::string_view name) {
  if (!open_) Open();
  const Key* k = FindKey(key);
  if (k == nullptr) return std::nullopt;
  for (const Value& v : k->values) {
    if (!SameSettingsName(v.name, name)) continue;
    if (!v.isText) throw SettingsException::InvalidDataType(name);
    return v.text;
  }
  return std::nullopt;
}

void MemorySettingsStore::WriteValue(std::string_view key, std::string_view name,
                                     std::string_view text) {
  if (!open_) Open();
  const bool failsHere = failingName_.empty() || SameSettingsName(failingName_, name);
  if (failsHere && writeFailure_ == WriteFailure::kCreateKey && FindKey(key) == nullptr) {
    throw SettingsException::CreateKeyFailed(key);
  }
  if (failsHere && writeFailure_ == WriteFailure::kSetData) {
    throw SettingsException::SetDataFailed(name);
  }
  Value& v = Put(key, name);
  v.text = std::string(text);
  v.isText = true;
  operations_.push_back(
      Operation{Operation::Kind::kWrite, std::string(key), std::string(name), std::string(text)});
}

void MemorySettingsStore::RemoveValue(std::string_view key, std::string_view name) {
  if (!open_) Open();
  Key* k = FindKey(key);
  if (k == nullptr) return;
  const auto found = std::find_if(k->values.begin(), k->values.end(), [name](const Value& v) {
    return SameSettingsName(v.name, name);
  });
  if (found == k->values.end()) return;
  if (deleteFails_) throw SettingsException::DeleteFailed(name);
  k->values.erase(found);
  operations_.push_back(
      Operation{Operation::Kind::kDelete, std::string(key), std::string(name), std::string()});
}

}  // namespace corvel
