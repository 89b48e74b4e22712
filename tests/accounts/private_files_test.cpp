// Files Corvel makes anew are private to the user whatever the umask, and a
// file that existed keeps the permissions it had.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "accounts/file_io.h"
#include "test_folder.h"

namespace corvel {
namespace {

namespace fs = std::filesystem;

TEST(ReplaceFileAtomically, ANewFileIsTheUsersAloneWhateverTheUmask) {
  testing::TestFolder folder;
  const mode_t old = ::umask(0);
  ReplaceFileAtomically(folder / "mail.accounts.qor", "secret bytes");
  ::umask(old);
  EXPECT_EQ(fs::status(folder / "mail.accounts.qor").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(folder / "mail.accounts.qor", fs::perms::owner_all | fs::perms::group_read);
  ReplaceFileAtomically(folder / "mail.accounts.qor", "new bytes");
  EXPECT_EQ(fs::status(folder / "mail.accounts.qor").permissions(),
            fs::perms::owner_all | fs::perms::group_read);
}

}  // namespace
}  // namespace corvel
