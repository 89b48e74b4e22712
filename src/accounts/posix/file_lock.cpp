#include "accounts/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "accounts/file_io.h"

namespace corvel {

namespace {

class FlockLock final : public FileLock {
 public:
  // `lockFile`: the lock file to remove when letting go; empty for a folder.
  FlockLock(int fd, std::filesystem::path lockFile) : fd_(fd), lockFile_(std::move(lockFile)) {}
  FlockLock(const FlockLock&) = delete;
  FlockLock& operator=(const FlockLock&) = delete;
  ~FlockLock() override {
    // Removed while still held: a waiter that then gets the lock of the
    // removed file sees that the name no longer leads to it and starts over
    // (LockFile), so no two holders ever overlap.
    if (!lockFile_.empty()) (void)::unlink(lockFile_.c_str());
    (void)::close(fd_);  // closing lets go of the lock
  }

 private:
  int fd_;
  std::filesystem::path lockFile_;
};

// flock, again when a signal interrupted the wait.
int Flock(int fd, int operation) {
  int result = 0;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

std::unique_ptr<FileLock> LockFile(const std::filesystem::path& fileName) {
  const std::filesystem::path lockFile = LockFileName(fileName);
  for (;;) {
    // 0600 from the start: the lock file tells nothing, but it sits beside
    // files that hold secrets and must not be the one file others may open.
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) throw InOutException(errno, fileName, FileAccess::Write);
    if (Flock(fd, LOCK_EX) != 0) {
      const int error = errno;
      (void)::close(fd);
      throw InOutException(error, fileName, FileAccess::Write);
    }
    // The holder before us may have removed the lock file as it let go: then
    // the lock we got is on a file the name no longer leads to, and the one
    // there now (or a new one) is to be locked instead.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(lockFile.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return std::make_unique<FlockLock>(fd, lockFile);
    }
    (void)::close(fd);
  }
}

std::unique_ptr<FileLock> TryLockFolder(const std::filesystem::path& folder) {
  const std::filesystem::path name = folder.empty() ? std::filesystem::path(".") : folder;
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw InOutException(errno, name);
  if (Flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    (void)::close(fd);
    if (error == EWOULDBLOCK) return nullptr;
    throw InOutException(error, name);
  }
  return std::make_unique<FlockLock>(fd, std::filesystem::path());
}

}  // namespace corvel
