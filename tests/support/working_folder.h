// A fresh temporary folder that is the working directory while it lives: the
// program opens the accounts file and the seen-message files by bare name.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace corvel::test {

class WorkingFolder {
 public:
  WorkingFolder() : previous_(std::filesystem::current_path()) {
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    do {
      path_ = base / ("corvel-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(path_));
    std::filesystem::current_path(path_);
  }
  ~WorkingFolder() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  WorkingFolder(const WorkingFolder&) = delete;
  WorkingFolder& operator=(const WorkingFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

}  // namespace corvel::test
