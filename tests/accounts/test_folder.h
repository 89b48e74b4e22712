// A fresh folder under the system's temporary directory for one test, removed
// with everything in it when the test ends. The accounts tests work on real
// files in it, as the program works on files in its working directory.
#pragma once

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace corvel::testing {

class TestFolder {
 public:
  TestFolder() {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    std::error_code error;
    do {
      path_ = base / ("corvel-accounts-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_, error) && !error);
    if (error) ADD_FAILURE() << "cannot create a temporary folder: " << error.message();
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;
  ~TestFolder() {
    std::error_code ignored;
    // A test may have made things read-only; give the owner access back first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      std::filesystem::permissions(
          it->path(), std::filesystem::perms::owner_all,
          std::filesystem::perm_options::add | std::filesystem::perm_options::nofollow, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
  }

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(std::string_view name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

// What the system says when a folder stands where a file is opened, and when
// a file stands where a folder of the path should be: Windows refuses the
// first and does not find the second.
#ifdef _WIN32
inline constexpr const char* kFolderInPlaceOfFileText = "File access denied";
inline constexpr const char* kFileInPlaceOfFolderText = "File not found";
#else
inline constexpr const char* kFolderInPlaceOfFileText = "I/O error 21";
inline constexpr const char* kFileInPlaceOfFolderText = "I/O error 20";
#endif

// Root writes where the permissions say no one may (so does Wine run by root).
inline bool WritesDespitePermissions() {
#ifdef _WIN32
  const auto probe = std::filesystem::temp_directory_path() /
                     ("corvel-readonly-" + std::to_string(std::random_device()()));
  { std::ofstream(probe) << "x"; }
  std::filesystem::permissions(probe, std::filesystem::perms::owner_read);
  const bool written = static_cast<bool>(std::ofstream(probe, std::ios::app) << "y");
  std::error_code ignored;
  std::filesystem::permissions(probe, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove(probe, ignored);
  return written;
#else
  return ::geteuid() == 0;
#endif
}

inline void WriteBytes(const std::filesystem::path& fileName, std::string_view bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << fileName;
}

inline std::string ReadBytes(const std::filesystem::path& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) ADD_FAILURE() << "cannot read " << fileName;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The names in a folder, so a test can see that nothing was left behind.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace corvel::testing
