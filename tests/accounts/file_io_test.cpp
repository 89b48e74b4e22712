#include "accounts/file_io.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "accounts/file_lock.h"
#include "test_folder.h"

namespace corvel {
namespace {

using testing::FolderEntries;
using testing::ReadBytes;
using testing::TestFolder;
using testing::WriteBytes;

// Runs `action`, which must throw InOutException, and returns the exception.
template <typename Action>
InOutException CatchInOut(Action action) {
  try {
    action();
  } catch (const InOutException& error) {
    return error;
  }
  ADD_FAILURE() << "no InOutException was thrown";
  return InOutException(0);
}

TEST(InOutErrorText, MapsSystemErrorNumbersToRunTimeTexts) {
  struct Case {
    int errorNumber;
    const char* text;
  };
  const Case cases[] = {
      {ENOENT, "File not found"},
      {EACCES, "File access denied"},
      {EPERM, "File access denied"},
      {EROFS, "File access denied"},
      {EMFILE, "Too many open files"},
      {ENFILE, "Too many open files"},
      {ENOSPC, "Disk full"},
#ifdef EDQUOT
      {EDQUOT, "Disk full"},
#endif
      {kReadBeyondEndOfFile, "Read beyond end of file"},
      {EIO, "I/O error 5"},
      {ENOTDIR, "I/O error 20"},
      {EISDIR, "I/O error 21"},
      {EFBIG, "I/O error 27"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InOutErrorText(c.errorNumber), c.text) << "errno " << c.errorNumber;
  }
}

TEST(InOutException, CarriesTextNumberAndFileName) {
  const InOutException error(ENOSPC, "mail.accounts.qor");
  const Exception& base = error;
  EXPECT_STREQ(base.what(), "Disk full");
  EXPECT_EQ(base.ClassName(), "InOutException");
  EXPECT_EQ(error.ErrorCode(), ENOSPC);
  EXPECT_EQ(error.FileName(), "mail.accounts.qor");
}

TEST(ReadWholeFile, ReturnsEveryByteIncludingNul) {
  TestFolder folder;
  const std::string bytes("a\0b\r\n\xff", 6);
  WriteBytes(folder / "f", bytes);
  EXPECT_EQ(ReadWholeFile(folder / "f"), bytes);
}

TEST(ReadWholeFile, MissingFileIsFileNotFound) {
  TestFolder folder;
  const InOutException error = CatchInOut([&] { (void)ReadWholeFile(folder / "missing"); });
  EXPECT_STREQ(error.what(), "File not found");
  EXPECT_EQ(error.ErrorCode(), ENOENT);
  EXPECT_EQ(error.FileName(), folder / "missing");
}

TEST(ReadFileIfExists, MissingFileIsNothing) {
  TestFolder folder;
  EXPECT_FALSE(ReadFileIfExists(folder / "missing").has_value());
  WriteBytes(folder / "empty", "");
  EXPECT_EQ(ReadFileIfExists(folder / "empty"), std::optional<std::string>(""));
}

TEST(ReadFileIfExists, ParentThatIsAFileIsAnError) {
#ifdef _WIN32
  GTEST_SKIP() << "on Windows such a file simply does not exist";
#endif
  TestFolder folder;
  WriteBytes(folder / "plain", "x");
  const InOutException error = CatchInOut([&] { (void)ReadFileIfExists(folder / "plain" / "f"); });
  EXPECT_STREQ(error.what(), testing::kFileInPlaceOfFolderText);
}

TEST(ReadWholeFile, LargeFileIsReadWhole) {
  TestFolder folder;
  std::string bytes(100000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteBytes(folder / "big", bytes);
  EXPECT_EQ(ReadWholeFile(folder / "big"), bytes);
}

TEST(ReplaceFileAtomically, CreatesAMissingFile) {
  TestFolder folder;
  ReplaceFileAtomically(folder / "f", std::string_view("new\0", 4));
  EXPECT_EQ(ReadBytes(folder / "f"), std::string("new\0", 4));
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"f"});
}

TEST(ReplaceFileAtomically, ReplacesTheContentAndLeavesNoTemporaryFile) {
  TestFolder folder;
  WriteBytes(folder / "f", std::string(5000, 'o'));
  ReplaceFileAtomically(folder / "f", "short");
  EXPECT_EQ(ReadBytes(folder / "f"), "short");
  ReplaceFileAtomically(folder / "f", "");
  EXPECT_EQ(ReadBytes(folder / "f"), "");
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"f"});
}

// Each writer has a temporary file of its own: a file under the name another
// writer may be writing is never opened, truncated or renamed.
TEST(ReplaceFileAtomically, LeavesEveryOtherFileBesideItAlone) {
  TestFolder folder;
  WriteBytes(folder / "f.tmp", "another writer's bytes");
  ReplaceFileAtomically(folder / "f", "fresh");
  EXPECT_EQ(ReadBytes(folder / "f"), "fresh");
  EXPECT_EQ(ReadBytes(folder / "f.tmp"), "another writer's bytes");
  EXPECT_EQ(FolderEntries(folder.Path()), (std::vector<std::string>{"f", "f.tmp"}));
}

// An edit sees the file as it is under the lock (nothing when missing), and
// an edit that writes nothing leaves a missing file missing.
TEST(EditFileUnderLock, AppliesTheEditToTheFileAsItIsNow) {
  TestFolder folder;
  auto append = [&](std::optional<std::string> line) {
    return EditFileUnderLock(folder / "f", [&](const std::optional<std::string>& current) {
      if (!line) return std::optional<std::string>();
      return std::optional<std::string>(current.value_or("<none>") + *line);
    });
  };
  EXPECT_FALSE(append(std::nullopt).content);
  EXPECT_FALSE(std::filesystem::exists(folder / "f"));
  (void)append("a\n");
  WriteBytes(folder / "f", ReadBytes(folder / "f") + "from elsewhere\n");
  const EditedFile edited = append("b\n");
  EXPECT_EQ(edited.content, "<none>a\nfrom elsewhere\nb\n");
  EXPECT_EQ(edited.stamp, StampOf(folder / "f"));
  EXPECT_EQ(ReadBytes(folder / "f"), *edited.content);
}

TEST(EditFileUnderLock, LockThatCannotBeTakenLeavesTheFileUnreadAndUnchanged) {
  TestFolder folder;
  WriteBytes(folder / "f", "old content");
  std::filesystem::create_directory(LockFileName(folder / "f"));
  const InOutException error = CatchInOut([&] {
    (void)EditFileUnderLock(folder / "f",
                            [](const std::optional<std::string>&) -> std::optional<std::string> {
                              throw std::logic_error("edited without the lock");
                            });
  });
  EXPECT_STREQ(error.what(), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(ReadBytes(folder / "f"), "old content");
}

TEST(ReplaceFileAtomically, ParentThatIsAFileIsAnError) {
  TestFolder folder;
  WriteBytes(folder / "plain", "keep");
  const InOutException error =
      CatchInOut([&] { ReplaceFileAtomically(folder / "plain" / "f", "x"); });
  EXPECT_STREQ(error.what(), testing::kFileInPlaceOfFolderText);
  EXPECT_EQ(ReadBytes(folder / "plain"), "keep");
}

TEST(ReplaceFileAtomically, MissingFolderIsFileNotFound) {
  TestFolder folder;
  const InOutException error = CatchInOut([&] { ReplaceFileAtomically(folder / "no" / "f", "x"); });
  EXPECT_STREQ(error.what(), "File not found");
}

TEST(ReplaceFileAtomically, FolderInPlaceOfTheFileIsRefused) {
  TestFolder folder;
  std::filesystem::create_directory(folder / "f");
  WriteBytes(folder / "f" / "inside", "kept");
  const InOutException error = CatchInOut([&] { ReplaceFileAtomically(folder / "f", "x"); });
  EXPECT_STREQ(error.what(), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(ReadBytes(folder / "f" / "inside"), "kept");
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"f"});
}

// File size limits, POSIX permission bits and symbolic links are POSIX matters.
#ifndef _WIN32
// A write that fails half-way: the file size limit makes the system refuse the
// bytes past 4096 with EFBIG (and SIGXFSZ, which `onLimit` gets), for root as
// well, as a full disk would. Returns the error's text.
std::string ReplaceBeyondTheSizeLimit(const std::filesystem::path& file, void (*onLimit)(int)) {
  rlimit saved{};
  EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  auto* const savedHandler = ::signal(SIGXFSZ, onLimit);
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string text = "(nothing thrown)";
  try {
    ReplaceFileAtomically(file, std::string(65536, 'n'));
  } catch (const InOutException& error) {
    text = error.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, savedHandler);
  return text;
}

TEST(ReplaceFileAtomically, FailedWriteLeavesOldFileIntactAndRemovesTemporary) {
  TestFolder folder;
  const std::string old(3000, 'k');
  WriteBytes(folder / "f", old);
  EXPECT_EQ(ReplaceBeyondTheSizeLimit(folder / "f", SIG_IGN), "I/O error 27");
  EXPECT_EQ(ReadBytes(folder / "f"), old);
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"f"});
}

// The permissions of the temporary files in the folder under test, taken
// while the write is under way.
std::filesystem::path gWatchedFolder;
std::vector<std::filesystem::perms> gTemporaryModes;

extern "C" void RecordTemporaryModes(int) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(gWatchedFolder, ignored)) {
    if (entry.path().filename() != "f")
      gTemporaryModes.push_back(entry.status(ignored).permissions());
  }
}

// The new content of a private file is never in a file the umask made
// readable to others, not even half-way through the write.
TEST(ReplaceFileAtomically, TheNewContentIsNeverInAFileTheUmaskMadeReadable) {
  namespace fs = std::filesystem;
  TestFolder folder;
  WriteBytes(folder / "f", "old secret");
  fs::permissions(folder / "f", fs::perms::owner_read | fs::perms::owner_write);
  gWatchedFolder = folder.Path();
  gTemporaryModes.clear();
  const mode_t oldMask = ::umask(022);
  EXPECT_EQ(ReplaceBeyondTheSizeLimit(folder / "f", RecordTemporaryModes), "I/O error 27");
  ::umask(oldMask);
  EXPECT_THAT(gTemporaryModes,
              ::testing::ElementsAre(fs::perms::owner_read | fs::perms::owner_write));
  EXPECT_EQ(ReadBytes(folder / "f"), "old secret");
}

TEST(ReplaceFileAtomically, KeepsThePermissionsOfTheOldFile) {
  TestFolder folder;
  WriteBytes(folder / "f", "old");
  namespace fs = std::filesystem;
  fs::permissions(folder / "f", fs::perms::owner_read | fs::perms::owner_write);
  ReplaceFileAtomically(folder / "f", "new");
  EXPECT_EQ(fs::status(folder / "f").permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(ReplaceFileAtomically, ReplacesTheFileBehindASymbolicLink) {
  TestFolder folder;
  WriteBytes(folder / "real", "old");
  std::filesystem::create_symlink("real", folder / "link");
  ReplaceFileAtomically(folder / "link", "new");
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "link"));
  EXPECT_EQ(ReadBytes(folder / "real"), "new");
}

#endif  // !_WIN32

TEST(ReplaceFileAtomically, ReadOnlyFileIsAccessDenied) {
  if (testing::WritesDespitePermissions()) GTEST_SKIP() << "root may write a read-only file";
  TestFolder folder;
  WriteBytes(folder / "f", "old");
  std::filesystem::permissions(folder / "f", std::filesystem::perms::owner_read);
  const InOutException error = CatchInOut([&] { ReplaceFileAtomically(folder / "f", "new"); });
  EXPECT_STREQ(error.what(), "File access denied");
  EXPECT_EQ(ReadBytes(folder / "f"), "old");
}

}  // namespace
}  // namespace corvel
