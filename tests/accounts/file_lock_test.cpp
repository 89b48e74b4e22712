#include "accounts/file_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

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

// The holder replaces the file and lets go (on POSIX systems removing the lock
// file): the waiter gets the lock only then, and what it holds keeps out the
// next one, who finds the lock under the name.
TEST(FileLock, AWaiterGetsTheLockOnlyWhenTheHolderLetsGo) {
  TestFolder folder;
  const auto file = folder / "seen.uidl";
  std::unique_ptr<FileLock> holder = LockFile(file);
  EXPECT_FALSE(std::filesystem::exists(file));
  std::atomic<bool> released = false;
  bool gotItAfterRelease = false;
  std::string seen;
  std::promise<void> locked;
  std::promise<void> letGo;
  std::thread waiter([&] {
    std::unique_ptr<FileLock> lock = LockFile(file);
    gotItAfterRelease = released;
    seen = ReadBytes(file);
    locked.set_value();
    letGo.get_future().wait();
  });
  ReplaceFileAtomically(file, "new\r\n");
  released = true;
  holder.reset();
  locked.get_future().wait();
  std::atomic<bool> third = false;
  std::thread next([&] {
    std::unique_ptr<FileLock> lock = LockFile(file);
    third = true;
  });
  EXPECT_FALSE(third);
  letGo.set_value();
  waiter.join();
  next.join();
  EXPECT_TRUE(gotItAfterRelease);
  EXPECT_TRUE(third);
  EXPECT_EQ(seen, "new\r\n");
}

}  // namespace
}  // namespace corvel
