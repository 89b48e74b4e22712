#include "accounts/account_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "accounts/file_io.h"
#include "accounts/file_lock.h"
#include "test_folder.h"

namespace corvel {
namespace {

using testing::ReadBytes;
using testing::TestFolder;
using testing::WriteBytes;

AccountRecord Named(const std::string& name) {
  AccountRecord record;
  record.Enabled = 1;
  record.SetPlainAccountName(name);
  record.SetPlainPassword("pw-" + name);
  record.Port = 110;
  record.Interval = 300;
  return record;
}

std::string Bytes(std::initializer_list<std::string> names) {
  std::string bytes;
  for (const std::string& name : names) bytes += Named(name).ToBytes();
  return bytes;
}

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const InOutException& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

class AccountFileTest : public ::testing::Test {
 protected:
  std::filesystem::path FileName() const { return folder_ / "mail.accounts.qor"; }
  AccountFile OpenWith(const std::string& bytes) {
    WriteBytes(FileName(), bytes);
    AccountFile file(FileName());
    file.Open();
    return file;
  }

  TestFolder folder_;
};

TEST_F(AccountFileTest, OpenCreatesAMissingFileEmpty) {
  AccountFile file(FileName());
  file.Open();
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.RecordCount(), 0u);
  EXPECT_TRUE(std::filesystem::exists(FileName()));
  EXPECT_EQ(ReadBytes(FileName()), "");
}

TEST_F(AccountFileTest, ReadsEachRecord) {
  AccountFile file = OpenWith(Bytes({"a", "b", "c"}));
  ASSERT_EQ(file.RecordCount(), 3u);
  EXPECT_EQ(file.ReadRecord(0), Named("a"));
  EXPECT_EQ(file.ReadRecord(2), Named("c"));
}

TEST_F(AccountFileTest, CountIgnoresATrailingFragment) {
  AccountFile file = OpenWith(Bytes({"a", "b"}) + std::string(687, 'x'));
  EXPECT_EQ(file.RecordCount(), 2u);
  EXPECT_EQ(ErrorText([&] { (void)file.ReadRecord(2); }), "Read beyond end of file");
}

TEST_F(AccountFileTest, AppendAtTheCountAddsARecord) {
  AccountFile file = OpenWith(Bytes({"a"}));
  file.WriteRecord(1, Named("b"));
  EXPECT_EQ(file.RecordCount(), 2u);
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a", "b"}));
  EXPECT_EQ(file.ReadRecord(1), Named("b"));
}

TEST_F(AccountFileTest, AppendCoversATrailingFragment) {
  AccountFile file = OpenWith(Bytes({"a"}) + "stray");
  file.WriteRecord(1, Named("b"));
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a", "b"}));
}

TEST_F(AccountFileTest, OverwriteReplacesOnlyThatRecord) {
  std::string untouched = Named("c").ToBytes();
  untouched[203] = 7;  // insignificant bytes of other records stay as they are
  untouched[500] = 'g';
  AccountFile file = OpenWith(Bytes({"a", "b"}) + untouched + "tail");
  file.WriteRecord(1, Named("B"));
  EXPECT_EQ(file.RecordCount(), 3u);
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a", "B"}) + untouched + "tail");
}

TEST_F(AccountFileTest, WriteBeyondTheEndIsRefused) {
  AccountFile file = OpenWith(Bytes({"a"}));
  EXPECT_EQ(ErrorText([&] { file.WriteRecord(2, Named("x")); }), "Read beyond end of file");
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a"}));
}

TEST_F(AccountFileTest, DeleteMiddleMovesTheFollowingRecordsDown) {
  AccountFile file = OpenWith(Bytes({"a", "b", "c"}));
  file.DeleteRecord(1);
  EXPECT_EQ(file.RecordCount(), 2u);
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a", "c"}));
  EXPECT_EQ(file.ReadRecord(1), Named("c"));
}

TEST_F(AccountFileTest, DeleteLastTruncatesTheFile) {
  AccountFile file = OpenWith(Bytes({"a", "b", "c"}) + "frag");
  file.DeleteRecord(2);
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a", "b"}));
}

TEST_F(AccountFileTest, DeleteTheOnlyRecordLeavesAnEmptyFile) {
  AccountFile file = OpenWith(Bytes({"a"}));
  file.DeleteRecord(0);
  EXPECT_EQ(file.RecordCount(), 0u);
  EXPECT_EQ(ReadBytes(FileName()), "");
  EXPECT_EQ(ErrorText([&] { file.DeleteRecord(0); }), "Read beyond end of file");
}

TEST_F(AccountFileTest, MoreThanAHundredRecordsAreHandled) {
  std::string bytes;
  for (int i = 0; i < 150; ++i) bytes += Named("n" + std::to_string(i)).ToBytes();
  AccountFile file = OpenWith(bytes);
  file.WriteRecord(150, Named("n150"));
  file.DeleteRecord(0);
  EXPECT_EQ(file.RecordCount(), 150u);
  EXPECT_EQ(file.ReadRecord(149), Named("n150"));
  EXPECT_EQ(ReadBytes(FileName()).size(), 150 * kRecordSize);
}

// The editor holds the file open while the user edits; a write that fails must
// leave both the file and the editor's view of it as they were.
TEST_F(AccountFileTest, FailedWriteLeavesTheFileAndTheRecordsIntact) {
  const std::string old = Bytes({"a", "b", "c"});
  AccountFile file = OpenWith(old);
  // (The lock file stays on Windows: a folder takes its place.)
  std::filesystem::remove(LockFileName(FileName()));
  std::filesystem::create_directory(LockFileName(FileName()));
  EXPECT_EQ(ErrorText([&] { file.WriteRecord(1, Named("X")); }), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(ErrorText([&] { file.WriteRecord(3, Named("d")); }), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(ErrorText([&] { file.DeleteRecord(0); }), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(ReadBytes(FileName()), old);
  EXPECT_EQ(file.RecordCount(), 3u);
  EXPECT_EQ(file.ReadRecord(1), Named("b"));

  std::filesystem::remove(LockFileName(FileName()));
  file.DeleteRecord(0);
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"b", "c"}));
}

TEST_F(AccountFileTest, OpenOnAnUnusablePathRaisesTheErrorText) {
  WriteBytes(folder_ / "plain", "keep");
  AccountFile file(folder_ / "plain" / "mail.accounts.qor");
  EXPECT_EQ(ErrorText([&] { file.Open(); }), testing::kFileInPlaceOfFolderText);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(AccountFileTest, ClosedFileCannotBeUsed) {
  AccountFile file = OpenWith(Bytes({"a"}));
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ErrorText([&] { (void)file.RecordCount(); }), "I/O error 9");
  EXPECT_EQ(ErrorText([&] { file.WriteRecord(0, Named("x")); }), "I/O error 9");
  EXPECT_EQ(ReadBytes(FileName()), Bytes({"a"}));
}

}  // namespace
}  // namespace corvel
