// The locks on Windows: LockFileEx on a lock file beside the locked name
// (<name>.lock; corvel.lock in a locked folder). The lock files stay: a file
// that is being deleted cannot be opened by the next waiter until every handle
// on it is closed.
#include "accounts/file_lock.h"

#include <windows.h>

#include <cerrno>

#include "accounts/file_io.h"

namespace corvel {

namespace {

class LockFileExLock final : public FileLock {
 public:
  explicit LockFileExLock(HANDLE file) : file_(file) {}
  LockFileExLock(const LockFileExLock&) = delete;
  LockFileExLock& operator=(const LockFileExLock&) = delete;
  ~LockFileExLock() override { (void)::CloseHandle(file_); }  // closing lets go of the lock

 private:
  HANDLE file_;
};

// The errno-style number of a Windows error, for the run-time texts.
int ErrorNumberOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    default:
      return static_cast<int>(error);
  }
}

// Nothing when `wait` is false and another holder has the lock. A failure
// names `lockedName`, the file or folder the lock is for.
std::unique_ptr<FileLock> Lock(const std::filesystem::path& lockFile, bool wait,
                               const std::filesystem::path& lockedName, FileAccess access) {
  const HANDLE file = ::CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    throw InOutException(ErrorNumberOf(::GetLastError()), lockedName, access);
  OVERLAPPED at{};
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!::LockFileEx(file, flags, 0, 1, 0, &at)) {
    const DWORD error = ::GetLastError();
    (void)::CloseHandle(file);
    if (!wait && error == ERROR_LOCK_VIOLATION) return nullptr;
    throw InOutException(ErrorNumberOf(error), lockedName, access);
  }
  return std::make_unique<LockFileExLock>(file);
}

}  // namespace

std::unique_ptr<FileLock> LockFile(const std::filesystem::path& fileName) {
  return Lock(LockFileName(fileName), true, fileName, FileAccess::Write);
}

std::unique_ptr<FileLock> TryLockFolder(const std::filesystem::path& folder) {
  const std::filesystem::path name = folder.empty() ? std::filesystem::path(".") : folder;
  return Lock(name / "corvel.lock", false, name, FileAccess::Read);
}

}  // namespace corvel
