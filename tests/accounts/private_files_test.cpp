// Files Corvel makes anew are private to the user whatever the umask, a file
// that existed keeps the permissions it had, and no content ever passes
// through a file others may read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
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

// The folder a write is watched in, and the permissions its temporary files
// had while the write was under way.
fs::path gWatchedFolder;
std::vector<fs::perms> gTemporaryModes;

extern "C" void RecordTemporaryModes(int) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(gWatchedFolder, ignored)) {
    if (entry.path().filename().string().starts_with("mail.accounts.qor.tmp")) {
      gTemporaryModes.push_back(entry.status(ignored).permissions());
    }
  }
}

// The file size limit stops the write half-way (SIGXFSZ, for root as well):
// the temporary file then holds part of the new content and is looked at.
TEST(ReplaceFileAtomically, TheNewContentIsNeverInAFileTheUmaskMadeReadable) {
  testing::TestFolder folder;
  const fs::path file = folder / "mail.accounts.qor";
  testing::WriteBytes(file, "old secret");
  fs::permissions(file, kPrivate);
  gWatchedFolder = folder.Path();
  gTemporaryModes.clear();

  const mode_t oldMask = ::umask(022);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  auto* const savedHandler = ::signal(SIGXFSZ, RecordTemporaryModes);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  EXPECT_THROW(ReplaceFileAtomically(file, std::string(65536, 's')), InOutException);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, savedHandler);
  ::umask(oldMask);

  ASSERT_FALSE(gTemporaryModes.empty());
  for (const fs::perms mode : gTemporaryModes) EXPECT_EQ(mode, kPrivate);
  EXPECT_EQ(testing::ReadBytes(file), "old secret");
  EXPECT_EQ(testing::FolderEntries(folder.Path()), std::vector<std::string>{"mail.accounts.qor"});
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
