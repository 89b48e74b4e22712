// File access shared by the program's stores (accounts file, seen-message
// files, the settings file): reading a whole file, and replacing a file so that
// a failed write never leaves it truncated or half-written. Every failure is an
// InOutException whose text is the run-time library's text for the I/O error,
// the text the error box shows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "codec/exception.h"

namespace corvel {

// The error number of a read that wanted more bytes than the file holds. It has
// no errno of its own; a negative value never collides with one.
inline constexpr int kReadBeyondEndOfFile = -1;

// The run-time text for an I/O error: "File not found", "File access denied",
// "Too many open files", "Read beyond end of file", "Disk full", or
// "I/O error <n>" with the system error number for anything else.
[[nodiscard]] std::string InOutErrorText(int errorNumber);

// A failed file operation. what() is exactly the run-time text; the file name is
// kept apart so that the text shown to the user stays the fixed one.
class InOutException : public Exception {
 public:
  // errorNumber: the errno value behind the failure, or kReadBeyondEndOfFile.
  explicit InOutException(int errorNumber, std::filesystem::path fileName = {});

  [[nodiscard]] std::string ClassName() const override { return "InOutException"; }
  [[nodiscard]] int ErrorCode() const { return errorCode_; }
  [[nodiscard]] const std::filesystem::path& FileName() const { return fileName_; }

 private:
  int errorCode_;
  std::filesystem::path fileName_;
};

// The whole content of a file. Throws InOutException (a missing file is
// "File not found").
[[nodiscard]] std::string ReadWholeFile(const std::filesystem::path& fileName);

// The whole content of a file, or nothing when there is no file of that name.
// Any other failure throws InOutException.
[[nodiscard]] std::optional<std::string> ReadFileIfExists(const std::filesystem::path& fileName);

// Replaces the file with `content` (creating it when missing): the bytes go to
// the temporary file TemporaryFileName(fileName) beside it, are flushed to the
// disk, and the temporary file is renamed over the old one. On any failure the
// temporary file is removed, the old file is left exactly as it was, and
// InOutException is thrown. An existing file that may not be written (read-only)
// is refused with "File access denied", as rewriting it in place would be; the
// new file keeps the old one's permissions. A symbolic link is followed, so the
// file it points at is replaced and the link stays.
void ReplaceFileAtomically(const std::filesystem::path& fileName, std::string_view content);

// What tells one state of a file from another without reading it: whether it
// is there, its size, the time of its last change (as finely as the file
// system keeps it) and, where the system has one, the file's identity (its
// inode), which replacing the file changes.
struct FileStamp {
  bool exists = false;
  std::uintmax_t size = 0;
  std::int64_t modified = 0;
  std::uint64_t identity = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The file's stamp; a file that cannot be examined counts as missing.
[[nodiscard]] FileStamp StampOf(const std::filesystem::path& fileName);

// The name of the temporary file ReplaceFileAtomically writes beside `fileName`.
[[nodiscard]] std::filesystem::path TemporaryFileName(const std::filesystem::path& fileName);

}  // namespace corvel
