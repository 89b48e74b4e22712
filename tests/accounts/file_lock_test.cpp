#include "accounts/file_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "accounts/file_io.h"
#include "test_folder.h"

namespace corvel {
namespace {

using testing::ReadBytes;
using testing::TestFolder;

TEST(FileLock, AFolderIsHeldByOneHolderAtATime) {
  TestFolder folder;
  std::unique_ptr<FileLock> first = TryLockFolder(folder.Path());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(TryLockFolder(folder.Path()), nullptr);
  first.reset();
  EXPECT_NE(TryLockFolder(folder.Path()), nullptr);
}

TEST(FileLock, AWaiterGetsTheLockOfTheFileTheHolderLeftBehind) {
  TestFolder folder;
  const auto file = folder / "seen.uidl";
  std::unique_ptr<FileLock> holder = LockFile(file);
  std::atomic<bool> released = false;
  bool lockedTheNamedFile = false;
  std::string seen;
  std::thread waiter([&] {
    std::unique_ptr<FileLock> lock = LockFile(file);
#ifdef _WIN32
    // The lock lives in a lock file of its own, which the replacement
    // leaves alone: the waiter gets it only once the holder lets go.
    lockedTheNamedFile = released;
#else
    // The lock lives on the file itself: the waiter may get the new file's
    // lock as soon as it is renamed into place, or wait on the old one and
    // move on to the new one; either way, what it holds is the lock of the
    // file the name leads to now.
    const int other = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    lockedTheNamedFile = other >= 0 && ::flock(other, LOCK_EX | LOCK_NB) != 0;
    if (other >= 0) ::close(other);
#endif
    seen = ReadBytes(file);
  });
  ReplaceFileAtomically(file, "new\r\n");
  released = true;
  holder.reset();
  waiter.join();
  EXPECT_TRUE(lockedTheNamedFile);
  EXPECT_EQ(seen, "new\r\n");
}

}  // namespace
}  // namespace corvel
