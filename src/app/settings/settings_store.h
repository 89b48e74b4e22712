// The settings store: where the program keeps its preferences (window
// geometry, the widths of the "New mail" columns, the option boxes of the
// "Settings" tab) and its logon entry. Keys are absolute paths with a leading
// backslash, as in the Windows registry; every value is text, and numbers
// are stored as their decimal text.
//
// Implementations: FileSettingsStore (a small text file, plus an XDG
// autostart entry for the logon entry), the registry on Windows, and
// MemorySettingsStore for tests. Key paths and value names compare without
// regard to ASCII letter case, as in the registry, and a key path matches
// with or without its leading and trailing backslash.
//
// Every operation runs on the loop thread. Failures raise SettingsException
// with the texts the error box shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/exception.h"
#include "codec/whole_number.h"

namespace corvel {

// The program's own key: geometry, option boxes, column widths.
inline constexpr std::string_view kProgramKey = "\\Software\\qor\\Corvel\\";
// The key of the programs started at logon, and the program's value in it
// (the program's full path, a blank and "--MINIMIZE").
inline constexpr std::string_view kRunKey = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";
inline constexpr std::string_view kRunValueName = "qor Corvel";
// The command run after each report of new mail (see app/new_mail_command.h);
// absent or empty: none.
inline constexpr std::string_view kOnNewMailValueName = "OnNewMail";

class SettingsException : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] std::string ClassName() const override { return "SettingsException"; }

  // "Failed to create key <key>"
  [[nodiscard]] static SettingsException CreateKeyFailed(std::string_view key);
  // "Failed to set data for '<name>'"
  [[nodiscard]] static SettingsException SetDataFailed(std::string_view name);
  // "Invalid data type for '<name>'"
  [[nodiscard]] static SettingsException InvalidDataType(std::string_view name);
  // "Failed to delete value '<name>'"
  [[nodiscard]] static SettingsException DeleteFailed(std::string_view name);
};

// Whether two key paths name the same key (letter case and the outer
// backslashes do not matter).
[[nodiscard]] bool SameSettingsKey(std::string_view a, std::string_view b);
// Whether two value names are the same (letter case does not matter).
[[nodiscard]] bool SameSettingsName(std::string_view a, std::string_view b);

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // Makes the store ready; an operation on a store that is not open opens it
  // first. Opening never fails: what cannot be read reads as missing.
  virtual void Open() = 0;
  // Lets go of the store. Every write has already reached the storage.
  virtual void Close() = 0;
  // Takes in what other processes (a `corvel settings set`, another program)
  // changed in the storage since the store last read it, so that the next
  // reads see it. A store that reads the storage on every read has nothing
  // to do.
  virtual void Refresh() {}

  // The value's text, or defaultText when the key or the value is missing.
  [[nodiscard]] std::string ReadString(std::string_view key, std::string_view name,
                                       std::string_view defaultText);
  // The value's text as a whole number (see ParseWholeNumber), or
  // defaultValue when the key or value is missing or the text is not one.
  [[nodiscard]] std::int32_t ReadInteger(std::string_view key, std::string_view name,
                                         std::int32_t defaultValue);
  // Sets the value, creating the key when needed. Only this value changes in
  // the storage: values other processes wrote meanwhile stay.
  void WriteString(std::string_view key, std::string_view name, std::string_view text);
  // WriteString with the number's decimal text.
  void WriteInteger(std::string_view key, std::string_view name, std::int32_t value);
  // Removes the value; a missing key or value is no error.
  void DeleteValue(std::string_view key, std::string_view name);

 protected:
  // The value's text; nothing when the key or value is missing. Raises
  // InvalidDataType for a value that is not text.
  [[nodiscard]] virtual std::optional<std::string> ReadValue(std::string_view key,
                                                             std::string_view name) = 0;
  // Raises CreateKeyFailed or SetDataFailed.
  virtual void WriteValue(std::string_view key, std::string_view name, std::string_view text) = 0;
  // Raises DeleteFailed when a value that is there cannot be removed.
  virtual void RemoveValue(std::string_view key, std::string_view name) = 0;
};

}  // namespace corvel
