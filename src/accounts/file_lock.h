// Advisory locks between processes of the program that share a folder: a
// `corvel check` or `corvel accounts` beside the running program, or two
// programs started in the same folder. Each platform supplies a back-end
// (posix/file_lock.cpp uses flock, win32/file_lock.cpp LockFileEx), and
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

// The file that carries the lock of `fileName`: "<fileName>.lock" beside it.
// The locked file itself is replaced by renaming a new one over it, so its
// lock cannot live on it; the lock file is never replaced.
[[nodiscard]] inline std::filesystem::path LockFileName(const std::filesystem::path& fileName) {
  std::filesystem::path lockFile = fileName;
  lockFile += ".lock";
  return lockFile;
}

// Waits for the exclusive lock of the file at `fileName` and takes it. The
// lock lives in LockFileName(fileName), created private to the user (0600)
// when missing; `fileName` itself is neither created nor touched, so a writer
// that refuses its input after taking the lock leaves no trace. The holder may
// replace the file (ReplaceFileAtomically) while others wait. On POSIX systems
// the lock file is removed again when the lock is let go. Throws
// InOutException when the lock file cannot be opened or locked (a folder of
// that name, a folder that cannot be written).
[[nodiscard]] std::unique_ptr<FileLock> LockFile(const std::filesystem::path& fileName);

// Takes the lock of a folder without waiting: nothing when another holder has
// it (another process, or another holder in this one). Throws InOutException
// when the folder cannot be opened.
[[nodiscard]] std::unique_ptr<FileLock> TryLockFolder(const std::filesystem::path& folder);

}  // namespace corvel
