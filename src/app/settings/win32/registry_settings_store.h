// RegistrySettingsStore: the settings store of Windows, in the registry.
//
// Values are written under HKEY_CURRENT_USER: a standard user cannot write
// under HKEY_LOCAL_MACHINE, so a store kept there would fail every click on
// a settings box. A value not yet present under HKEY_CURRENT_USER is read
// from HKEY_LOCAL_MACHINE, where earlier installations kept it; deleting a
// value deletes it from both, so a logon entry once made for every user
// does not come back on the next start.
//
// Every value is written as a registry string (REG_SZ). The store's byte
// strings are UTF-8 (the program path and everything the program writes);
// registry strings are UTF-16. Bytes that are not UTF-8 are taken in the
// system's ANSI code page.
//
// The logon entry is written as a command line that carries the folder the
// program runs in (app/settings/run_command_line.h): the program opens its
// files by bare name, and a program started at logon may start anywhere.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/settings/settings_store.h"

namespace corvel {

class RegistrySettingsStore final : public SettingsStore {
 public:
  // Where a store keeps its keys: a root key and a path below it that every
  // key path of the program is placed under (empty for the root itself).
  struct Place {
    HKEY root = nullptr;
    std::wstring prefix;
  };

  // The program's store: writes under HKEY_CURRENT_USER, falls back to
  // HKEY_LOCAL_MACHINE.
  RegistrySettingsStore();
  // A store over other places (the tests keep both under a key of their own);
  // `programFolder`: the folder the logon entry names (the working folder at
  // the time of the write when empty).
  RegistrySettingsStore(Place writable, std::optional<Place> fallback,
                        std::filesystem::path programFolder = {});

  void Open() override {}
  void Close() override {}

 protected:
  [[nodiscard]] std::optional<std::string> ReadValue(std::string_view key,
                                                     std::string_view name) override;
  void WriteValue(std::string_view key, std::string_view name, std::string_view text) override;
  void RemoveValue(std::string_view key, std::string_view name) override;

 private:
  Place writable_;
  std::optional<Place> fallback_;
  std::filesystem::path programFolder_;
};

}  // namespace corvel
