#include "accounts/file_lock.h"

#include <gtest/gtest.h>

#include <atomic>
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

TEST(FileLock, AWaiterGetsTheLockOfTheFileTheHolderLeftBehind) {
  TestFolder folder;
  const auto file = folder / "seen.uidl";
  std::unique_ptr<FileLock> holder = LockFile(file);
  std::atomic<bool> released = false;
  bool releasedBeforeLocked = false;
  std::string seen;
  std::thread waiter([&] {
    std::unique_ptr<FileLock> lock = LockFile(file);
    releasedBeforeLocked = released;
    seen = ReadBytes(file);
  });
  ReplaceFileAtomically(file, "new\r\n");
  released = true;
  holder.reset();
  waiter.join();
  EXPECT_TRUE(releasedBeforeLocked);
  EXPECT_EQ(seen, "new\r\n");
}

}  // namespace
}  // namespace corvel
