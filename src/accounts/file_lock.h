// Advisory locks between processes of the program that share a folder: a
// `corvel check` beside the running program, or two programs started in the
// same folder. Each platform supplies a back-end (posix/file_lock.cpp uses
// flock, win32/file_lock.cpp LockFileEx on a lock file beside the name), and
// nothing above this header includes an OS header.
//
// The locks are advisory: they keep out only processes that ask for them.
#pragma once

#include <filesystem>
#include <memory>

namespace corvel {

// A lock held for as long as the object lives.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// Waits for the exclusive lock of the file at `fileName` and takes it,
// creating an empty file when there is none. The lock belongs to the name, not
// to one version of the file: the holder may replace the file
// (ReplaceFileAtomically) and others still wait until it lets go. Throws
// InOutException when the file cannot be opened or locked.
[[nodiscard]] std::unique_ptr<FileLock> LockFile(const std::filesystem::path& fileName);

// Takes the lock of a folder without waiting: nothing when another holder has
// it (another process, or another holder in this one). Throws InOutException
// when the folder cannot be opened.
[[nodiscard]] std::unique_ptr<FileLock> TryLockFolder(const std::filesystem::path& folder);

}  // namespace corvel
