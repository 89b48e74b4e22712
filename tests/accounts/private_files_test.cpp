// Files Corvel makes anew, lock files included, are private to the user
// whatever the umask, and a file that existed keeps the permissions it had.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "accounts/file_io.h"
#include "accounts/file_lock.h"
#include "test_folder.h"

namespace corvel {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;

TEST(ReplaceFileAtomically, ANewFileIsTheUsersAloneWhateverTheUmask) {
  testing::TestFolder folder;
  const mode_t old = ::umask(0);
  ReplaceFileAtomically(folder / "mail.accounts.qor", "secret bytes");
  ::umask(old);
  EXPECT_EQ(fs::status(folder / "mail.accounts.qor").permissions(), kPrivate);
  fs::permissions(folder / "mail.accounts.qor", fs::perms::owner_all | fs::perms::group_read);
  ReplaceFileAtomically(folder / "mail.accounts.qor", "new bytes");
  EXPECT_EQ(fs::status(folder / "mail.accounts.qor").permissions(),
            fs::perms::owner_all | fs::perms::group_read);
}

// Taking the lock of a missing accounts file creates no accounts file, and the
// lock file is private while it exists.
TEST(LockFile, CreatesNoLockedFileAndAPrivateLockFile) {
  testing::TestFolder folder;
  const mode_t oldMask = ::umask(0);
  {
    const std::unique_ptr<FileLock> lock = LockFile(folder / "mail.accounts.qor");
    EXPECT_FALSE(fs::exists(folder / "mail.accounts.qor"));
    EXPECT_EQ(fs::status(LockFileName(folder / "mail.accounts.qor")).permissions(), kPrivate);
  }
  ::umask(oldMask);
  EXPECT_TRUE(testing::FolderEntries(folder.Path()).empty());
}

}  // namespace
}  // namespace corvel
