// MemorySettingsStore: a SettingsStore held in memory, for tests of the
// store's callers. Besides the store itself it can fail writes the way the
// registry does ("Failed to create key ...", "Failed to set data for ..."),
// hold a value that is not text ("Invalid data type for ..."), and keeps a
// record of every write and delete, so a test can see what reached the store
// and in which order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings/settings_store.h"

namespace corvel {

class MemorySettingsStore final : public SettingsStore {
 public:
  enum class WriteFailure {
    kNone,
    kCreateKey,  // "Failed to create key <key>", for a key that is not there yet
    kSetData,    // "Failed to set data for '<name>'"
  };

  struct Operation {
    enum class Kind { kWrite, kDelete };
    Kind kind = Kind::kWrite;
    std::string key;
    std::string name;
    std::string text;  // kWrite only
    bool operator==(const Operation&) const = default;
  };

  void Open() override;
  void Close() override;
  [[nodiscard]] bool IsOpen() const { return open_; }
  [[nodiscard]] int OpenCount() const { return openCount_; }

  // ---- Set-up.
  // Puts a value in place without recording a write (what was stored by an
  // earlier run of the program).
  void Preset(std::string_view key, std::string_view name, std::string_view text);
  // Puts a value of a type other than text in place: reading it raises
  // "Invalid data type for '<name>'". Writing it turns it into text.
  void PresetNonText(std::string_view key, std::string_view name);
  // Makes writes fail from now on: every write, or only writes of the value
  // named `onlyName`. kNone lets writes succeed again.
  void SetWriteFailure(WriteFailure failure, std::string_view onlyName = {});
  // Makes deletes of a value that is there fail ("Failed to delete value").
  void SetDeleteFails(bool fails) { deleteFails_ = fails; }

  // ---- Inspection (no exceptions, no record).
  [[nodiscard]] bool HasKey(std::string_view key) const;
  [[nodiscard]] std::optional<std::string> Peek(std::string_view key, std::string_view name) const;
  [[nodiscard]] std::size_t ValueCount() const;
  // Successful writes and deletes (deletes of a value that was there) in order.
  [[nodiscard]] const std::vector<Operation>& Operations() const { return operations_; }
  void ClearOperations() { operations_.clear(); }

 protected:
  [[nodiscard]] std::optional<std::string> ReadValue(std::string_view key,
                                                     std::string_view name) override;
  void WriteValue(std::string_view key, std::string_view name, std::string_view text) override;
  void RemoveValue(std::string_view key, std::string_view name) override;

 private:
  struct Value {
    std::string name;
    std::string text;
    bool isText = true;
  };
  struct Key {
    std::string path;
    std::vector<Value> values;
  };

  Key* FindKey(std::string_view key);
  [[nodiscard]] const Key* FindKey(std::string_view key) const;
  Value& Put(std::string_view key, std::string_view name);

  std::vector<Key> keys_;
  std::vector<Operation> operations_;
  WriteFailure writeFailure_ = WriteFailure::kNone;
  std::string failingName_;
  bool deleteFails_ = false;
  bool open_ = false;
  int openCount_ = 0;
};

}  // namespace corvel
