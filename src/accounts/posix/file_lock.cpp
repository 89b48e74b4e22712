#include "accounts/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "accounts/file_io.h"

namespace corvel {

namespace {

class FlockLock final : public FileLock {
 public:
  explicit FlockLock(int fd) : fd_(fd) {}
  FlockLock(const FlockLock&) = delete;
  FlockLock& operator=(const FlockLock&) = delete;
  ~FlockLock() override { (void)::close(fd_); }  // closing lets go of the lock

 private:
  int fd_;
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
  for (;;) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw InOutException(errno, fileName);
    if (Flock(fd, LOCK_EX) != 0) {
      const int error = errno;
      (void)::close(fd);
      throw InOutException(error, fileName);
    }
    // The holder before us may have replaced the file: then the lock we got
    // is on a version the name no longer leads to, and the new one is to be
    // locked instead.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::stat(fileName.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return std::make_unique<FlockLock>(fd);
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
  return std::make_unique<FlockLock>(fd);
}

}  // namespace corvel
