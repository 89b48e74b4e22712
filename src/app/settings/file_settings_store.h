// FileSettingsStore: the settings store of a Linux desktop.
//
// Values live in one small text file, <config>/qor/Corvel.conf, where
// <config> is $XDG_CONFIG_HOME (by default ~/.config). The file has one
// section per key path and one line per value:
//
//   [\Software\qor\Corvel\]
//   Log=True
//   AccountWidth=70
//
// Bytes below 0x20, 0x7F and '%' are written as %XX (two upper-case hex
// digits) in names and values, and so are '=', '[', ']', '#' and ';' in names
// and '[' and ']' in key paths; nothing is trimmed, so every byte string
// comes back exactly as it was written. Lines starting with '#' or ';' are
// comments.
//
// The file is read when the store is opened, and again by Refresh() when its
// stamp shows that another process changed it. A write or delete changes the
// file as it is at that moment, under its lock: it reads the file, changes
// the one value and replaces the file (a temporary file beside it, renamed
// over the old one), so a value another process wrote meanwhile stays, and a
// failed write leaves the old file as it was. A file that cannot be read
// yields defaults and is never overwritten (its writes fail). A line that
// cannot be understood is kept as it is and does not disturb the good lines
// around it.
//
// The logon entry (value kRunValueName under kRunKey) is the XDG autostart
// file <config>/autostart/qor-corvel.desktop, whose Exec line runs the value's
// text in the program's folder (its Path line, by default the working
// directory at the time of writing): writing the value writes the file, reading it gives back the
// text as written (nothing when the file is missing), deleting it removes the file. Other values
// under kRunKey are kept in the settings file.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/file_io.h"
#include "app/settings/settings_store.h"

namespace corvel {

class FileSettingsStore final : public SettingsStore {
 public:
  // $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (a
  // relative ".config" when HOME is not set either).
  [[nodiscard]] static std::filesystem::path DefaultConfigFolder();

  explicit FileSettingsStore(std::filesystem::path configFolder = DefaultConfigFolder());

  void Open() override;
  void Close() override;
  // Reads the file again when its stamp changed since it was read or written.
  void Refresh() override;

  [[nodiscard]] std::filesystem::path SettingsFile() const;
  [[nodiscard]] std::filesystem::path AutostartFile() const;
  // The folder the logon entry starts the program in; the working directory
  // when none is set.
  void SetProgramFolder(std::filesystem::path folder) { programFolder_ = std::move(folder); }

  // The settings file was there but could not be read at the last opening.
  [[nodiscard]] bool Unreadable() const { return unreadable_; }

  // One line of the settings file: a value, or a line kept as it was read
  // (a comment, or one that could not be understood).
  struct Line {
    bool isValue = false;
    std::string name;   // isValue
    std::string value;  // isValue
    std::string raw;    // !isValue
  };
  // The lines under one section header; a section without a usable key
  // (the lines before the first header, or after a header that cannot be
  // understood) has no key and only kept lines.
  struct Section {
    std::optional<std::string> key;
    std::vector<Line> lines;
  };

  // The settings file's text from its sections, and back.
  [[nodiscard]] static std::vector<Section> ParseSettingsText(std::string_view text);
  [[nodiscard]] static std::string SettingsText(const std::vector<Section>& sections);

  // The autostart file's Exec value for a logon-entry text, and back.
  [[nodiscard]] static std::string ExecLineFor(std::string_view valueText);
  [[nodiscard]] static std::string ValueTextOfExecLine(std::string_view execValue);

 protected:
  [[nodiscard]] std::optional<std::string> ReadValue(std::string_view key,
                                                     std::string_view name) override;
  void WriteValue(std::string_view key, std::string_view name, std::string_view text) override;
  void RemoveValue(std::string_view key, std::string_view name) override;

 private:
  void EnsureOpen();
  // Applies `change` to the sections of the file as it is under its lock and
  // writes the result when `change` returns true. Raises CreateKeyFailed, or
  // SetDataFailed when the file cannot be read or written.
  void ChangeFile(std::string_view key, std::string_view name,
                  const std::function<bool(std::vector<Section>&)>& change);
  [[nodiscard]] std::optional<std::string> ReadAutostart() const;
  void WriteAutostart(std::string_view text) const;
  void RemoveAutostart() const;

  std::filesystem::path configFolder_;
  std::filesystem::path programFolder_;
  std::vector<Section> sections_;
  FileStamp stamp_;  // of the file as last read or written
  bool open_ = false;
  bool unreadable_ = false;
};

}  // namespace corvel
