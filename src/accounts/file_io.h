// File access shared by the program's stores (accounts file, seen-message
// files, the settings file): reading a whole file, and replacing a file so that
// a failed write never leaves it truncated or half-written. Every failure is an
// InOutException whose text is the run-time library's text for the I/O error,
// the text the error box shows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

// Whether a failed file operation was reading or writing.
enum class FileAccess { Read, Write };

// A failed file operation. what() is exactly the run-time text; the file name
// and the access are kept apart, for a description that names the file and the
// cause (DescribeError in app/).
class InOutException : public Exception {
 public:
  // errorNumber: the errno value behind the failure, or kReadBeyondEndOfFile.
  explicit InOutException(int errorNumber, std::filesystem::path fileName = {},
                          FileAccess access = FileAccess::Read);

  [[nodiscard]] std::string ClassName() const override { return "InOutException"; }
  [[nodiscard]] int ErrorCode() const { return errorCode_; }
  [[nodiscard]] const std::filesystem::path& FileName() const { return fileName_; }
  [[nodiscard]] FileAccess Access() const { return access_; }

 private:
  int errorCode_;
  std::filesystem::path fileName_;
  FileAccess access_;
};

// The whole content of a file. Throws InOutException (a missing file is
// "File not found").
[[nodiscard]] std::string ReadWholeFile(const std::filesystem::path& fileName);

// The whole content of a file, or nothing when there is no file of that name.
// Any other failure throws InOutException.
[[nodiscard]] std::optional<std::string> ReadFileIfExists(const std::filesystem::path& fileName);

// Replaces the file with `content` (creating it when missing): the bytes go to
// a temporary file beside it whose name is this writer's alone ("<name>.tmp."
// and a unique ending, made with O_CREAT|O_EXCL, private to the user from the
// moment it exists), are flushed to the disk, and the temporary file is
// renamed over the old one. No other writer's temporary file is ever opened,
// truncated or renamed. On any failure the temporary file is removed, the old
// file is left exactly as it was, and InOutException is thrown. An existing
// file that may not be written (read-only) is refused with "File access
// denied", as rewriting it in place would be; the new file keeps the old one's
// permissions (a new file is 0600). A symbolic link is followed, so the file
// it points at is replaced and the link stays.
//
// Another process may write the same file: call it under the file's lock
// (EditFileUnderLock does), or the later rename wins whole.
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

// An edit of a file: given its content as it is now (nothing when there is no
// file), the content to write, or nothing to leave the file as it is (a
// missing file then stays missing). It may throw to refuse; nothing is written
// then.
using FileEdit =
    std::function<std::optional<std::string>(const std::optional<std::string>& current)>;

// The file as an edit left it, as seen under the lock.
struct EditedFile {
  std::optional<std::string> content;  // nothing: there is no file
  FileStamp stamp;
  bool written = false;
};

// The one way the program changes a file that other processes of it may
// change too (the accounts file and its side files, the seen-message files,
// the settings file): takes the file's lock (LockFile), reads the file as it
// is now, applies `edit` to it, replaces the file with the result
// (ReplaceFileAtomically) and lets go of the lock. Every writer that goes
// through here applies its change to what the one before it left, so no
// change is lost and none comes back. Throws InOutException (the file unread
// or unwritten, the old one kept), or whatever `edit` throws (nothing
// written).
EditedFile EditFileUnderLock(const std::filesystem::path& fileName, const FileEdit& edit);

// Creates an empty file under its lock when there is none; an existing file
// is left as it is. Throws InOutException.
void CreateFileIfMissing(const std::filesystem::path& fileName);

}  // namespace corvel
