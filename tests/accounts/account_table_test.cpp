#include "accounts/account_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "accounts/file_io.h"
#include "accounts/file_lock.h"
#include "test_folder.h"

namespace corvel {
namespace {

using testing::FolderEntries;
using testing::ReadBytes;
using testing::TestFolder;
using testing::WriteBytes;

AccountRecord MakeAccount(const std::string& name, std::int32_t elapsed = 0) {
  AccountRecord record;
  record.Enabled = 1;
  record.SetPlainAccountName(name);
  record.SetPlainServer("pop." + name + ".example");
  record.Port = 110;
  record.SetPlainUserName(name + "-user");
  record.SetPlainPassword(name + "-pass");
  record.Interval = 300;
  record.Elapsed = elapsed;
  record.SetPlainAuthMethod("MD5");
  record.LeaveMail = 1;
  record.SetPlainUidlFileName(name + ".uidl");
  return record;
}

std::string FileOf(std::initializer_list<AccountRecord> records) {
  std::string bytes;
  for (const AccountRecord& record : records) bytes += record.ToBytes();
  return bytes;
}

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

TEST(AccountTable, StartsEmptyWithAllBytesZero) {
  const AccountTable table;
  EXPECT_EQ(table.Count(), 0u);
  for (std::size_t i = 0; i < AccountTable::kCapacity; ++i) EXPECT_EQ(table[i], AccountRecord{});
}

TEST(AccountTable, WalkEndsBeforeTheFirstEmptyPassword) {
  AccountTable table;
  table[0] = MakeAccount("a");
  table[1] = MakeAccount("b");
  table[3] = MakeAccount("d");
  EXPECT_EQ(table.Count(), 2u);
  std::vector<std::string> walked;
  for (const AccountRecord& record : table.Walk()) walked.push_back(record.PlainAccountName());
  EXPECT_EQ(walked, (std::vector<std::string>{"a", "b"}));
}

TEST(AccountTable, WalkNeverGoesPastTheLastEntry) {
  AccountTable table;
  for (std::size_t i = 0; i < AccountTable::kCapacity; ++i) table[i] = MakeAccount("x");
  EXPECT_EQ(table.Count(), 100u);
  EXPECT_EQ(table.Walk().size(), 100u);
  EXPECT_THROW((void)table[100], std::out_of_range);
}

TEST(AccountTable, ClearEmptiesAllEntries) {
  AccountTable table;
  table[0] = MakeAccount("a");
  table[57] = MakeAccount("b");
  table.ExtraRecords().push_back(MakeAccount("c"));
  table.Clear();
  for (std::size_t i = 0; i < AccountTable::kCapacity; ++i) EXPECT_EQ(table[i], AccountRecord{});
  EXPECT_TRUE(table.ExtraRecords().empty());
}

TEST(LoadAccounts, MissingFileReadsNothingAndKeepsTheTable) {
  TestFolder folder;
  AccountTable table;
  table[0] = MakeAccount("kept", 7);
  EXPECT_FALSE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table[0], MakeAccount("kept", 7));
  EXPECT_TRUE(FolderEntries(folder.Path()).empty());
}

TEST(LoadAccounts, EmptyFileLeavesTheTableEmpty) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", "");
  AccountTable table;
  table[0] = MakeAccount("stale");
  EXPECT_FALSE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table.Count(), 0u);
  EXPECT_EQ(table[0], AccountRecord{});
}

TEST(LoadAccounts, FragmentShorterThanARecordIsNotARecord) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", MakeAccount("a").ToBytes().substr(0, kRecordSize - 1));
  AccountTable table;
  EXPECT_FALSE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table.Count(), 0u);
}

TEST(LoadAccounts, ThreeRecordsAndStrayBytesLoadThreeAndKeepTheStrayBytes) {
  TestFolder folder;
  const std::string records = FileOf({MakeAccount("a"), MakeAccount("b"), MakeAccount("c")});
  WriteBytes(folder / "mail.accounts.qor", records + std::string(100, '\x5A'));
  AccountTable table;
  EXPECT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  ASSERT_EQ(table.Count(), 3u);
  EXPECT_EQ(table[0].PlainAccountName(), "a");
  EXPECT_EQ(table[2].PlainAccountName(), "c");
  EXPECT_EQ(table[3], AccountRecord{});

  // The fragment is no record, but it is not ours to remove either.
  SaveAccounts(table, false, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), records + std::string(100, '\x5A'));
}

TEST(SaveAccounts, AFileOfOnlyAFragmentIsWrittenBackAsItWas) {
  TestFolder folder;
  const std::string fragment = MakeAccount("a").ToBytes().substr(0, kRecordSize - 1);
  WriteBytes(folder / "mail.accounts.qor", fragment);
  AccountTable table;
  EXPECT_FALSE(LoadAccounts(table, folder / "mail.accounts.qor"));
  SaveAccounts(table, true, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), fragment);
}

TEST(LoadAccounts, EveryWalkedEntryStartsWithElapsedZero) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", FileOf({MakeAccount("a", 12345), MakeAccount("b", -1)}));
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table[0].Elapsed, 0);
  EXPECT_EQ(table[1].Elapsed, 0);
}

TEST(LoadAccounts, EmptyPasswordInTheMiddleEndsTheWalk) {
  TestFolder folder;
  AccountRecord noPassword = MakeAccount("b");
  noPassword.Password.Clear();
  const std::string file = FileOf({MakeAccount("a"), noPassword, MakeAccount("c", 5)});
  WriteBytes(folder / "mail.accounts.qor", file);
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table.Count(), 1u);
  // Loaded, but not walked: a save writes them back as they were (a damaged
  // length byte included), after the walked ones.
  EXPECT_EQ(table[1].PlainAccountName(), "b");
  EXPECT_EQ(table[2].PlainAccountName(), "c");
  std::string damaged = file;
  damaged[2 * kRecordSize + kAccountNameOffset] = '\xFF';
  WriteBytes(folder / "mail.accounts.qor", damaged + "tail");
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  SaveAccounts(table, true, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), damaged + "tail");
}

TEST(LoadAccounts, ReloadEmptiesEntriesTheFileNoLongerHolds) {
  TestFolder folder;
  AccountTable table;
  for (std::size_t i = 0; i < 5; ++i) table[i] = MakeAccount("old" + std::to_string(i));
  WriteBytes(folder / "mail.accounts.qor", FileOf({MakeAccount("new")}));
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table.Count(), 1u);
  EXPECT_EQ(table[0].PlainAccountName(), "new");
  EXPECT_EQ(table[1], AccountRecord{});
}

TEST(LoadAccounts, CorruptLengthBytesAreCutAndNeverOverRead) {
  TestFolder folder;
  std::string bytes(2 * kRecordSize, '\x41');
  for (std::size_t record = 0; record < 2; ++record) {
    for (std::size_t offset : {1u, 102u, 208u, 309u, 420u, 432u}) {
      bytes[record * kRecordSize + offset] = '\xFF';
    }
  }
  WriteBytes(folder / "mail.accounts.qor", bytes);
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  ASSERT_EQ(table.Count(), 2u);
  for (const AccountRecord& record : table.Walk()) {
    EXPECT_EQ(record.PlainAccountName().size(), 100u);
    EXPECT_EQ(record.PlainServer().size(), 100u);
    EXPECT_EQ(record.PlainUserName().size(), 100u);
    EXPECT_EQ(record.PlainPassword().size(), 100u);
    EXPECT_EQ(record.PlainAuthMethod().size(), 10u);
    EXPECT_EQ(record.PlainUidlFileName().size(), 255u);
  }
}

TEST(LoadAccounts, FolderInPlaceOfTheFileIsAnErrorAndKeepsTheTable) {
  TestFolder folder;
  std::filesystem::create_directory(folder / "mail.accounts.qor");
  AccountTable table;
  table[0] = MakeAccount("kept");
  const InOutException error =
      CatchInOut([&] { (void)LoadAccounts(table, folder / "mail.accounts.qor"); });
  EXPECT_STREQ(error.what(), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(table[0], MakeAccount("kept"));
}

TEST(LoadAccounts, UsesTheBareFileNameInTheWorkingDirectory) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", FileOf({MakeAccount("here")}));
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder.Path());
  AccountTable table;
  const bool loaded = LoadAccounts(table);
  table[0].SetPlainAccountName("changed");
  SaveAccounts(table, true);
  std::filesystem::current_path(previous);
  EXPECT_TRUE(loaded);
  AccountTable reread;
  ASSERT_TRUE(LoadAccounts(reread, folder / "mail.accounts.qor"));
  EXPECT_EQ(reread[0].PlainAccountName(), "changed");
}

TEST(SaveAccounts, RoundTripKeepsEveryRecordByteForByte) {
  TestFolder folder;
  AccountTable table;
  table[0] = MakeAccount("first", 0);
  table[1] = MakeAccount("second", 0);
  table[1].SetSecurityMode(2);
  table[1].LoginKindByte = 0xAB;
  table[1].SecretStoreByte = 0xCD;
  SaveAccounts(table, false, folder / "mail.accounts.qor");
  const std::string saved = ReadBytes(folder / "mail.accounts.qor");
  EXPECT_EQ(saved, FileOf({table[0], table[1]}));
  AccountTable reread;
  ASSERT_TRUE(LoadAccounts(reread, folder / "mail.accounts.qor"));
  EXPECT_EQ(reread[0], table[0]);
  EXPECT_EQ(reread[1], table[1]);
  EXPECT_EQ(reread[1].SecurityMode(), 2);
}

TEST(SaveAccounts, ZeroElapsedWritesAndSetsZero) {
  TestFolder folder;
  AccountTable table;
  table[0] = MakeAccount("a", 42);
  SaveAccounts(table, true, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), MakeAccount("a", 0).ToBytes());
  EXPECT_EQ(table[0].Elapsed, 0);
}

TEST(SaveAccounts, WithoutZeroElapsedWritesElapsedAsItIs) {
  TestFolder folder;
  AccountTable table;
  table[0] = MakeAccount("a", 42);
  SaveAccounts(table, false, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), MakeAccount("a", 42).ToBytes());
  EXPECT_EQ(table[0].Elapsed, 42);
}

TEST(SaveAccounts, BytesTheFileHoldsAlreadyAreNotWrittenAgain) {
  TestFolder folder;
  const std::filesystem::path path = folder / "mail.accounts.qor";
  WriteBytes(path, FileOf({MakeAccount("a")}));
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, path));
  std::filesystem::last_write_time(
      path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
  const auto before = std::filesystem::last_write_time(path);
  SaveAccounts(table, true, path);
  EXPECT_EQ(std::filesystem::last_write_time(path), before);
  table[0].Interval = 600;
  SaveAccounts(table, true, path);
  EXPECT_NE(std::filesystem::last_write_time(path), before);
  EXPECT_EQ(ReadBytes(path), FileOf({table[0]}));
}

TEST(SaveAccounts, EmptyTableWritesAnEmptyFile) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", FileOf({MakeAccount("old")}));
  AccountTable table;
  SaveAccounts(table, true, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), "");
#ifdef _WIN32
  // The save's lock lives in a file of its own there.
  EXPECT_EQ(FolderEntries(folder.Path()),
            (std::vector<std::string>{"mail.accounts.qor", "mail.accounts.qor.lock"}));
#else
  EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"mail.accounts.qor"});
#endif
}

TEST(SaveAccounts, FailedSaveLeavesThePreviousFileAndTheTable) {
  TestFolder folder;
  const std::string old = FileOf({MakeAccount("old1"), MakeAccount("old2")}) + "tail";
  WriteBytes(folder / "mail.accounts.qor", old);
  std::filesystem::create_directory(LockFileName(folder / "mail.accounts.qor"));
  AccountTable table;
  table[0] = MakeAccount("new", 9);
  const InOutException error =
      CatchInOut([&] { SaveAccounts(table, true, folder / "mail.accounts.qor"); });
  EXPECT_STREQ(error.what(), testing::kFolderInPlaceOfFileText);
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), old);
  EXPECT_EQ(table[0].Elapsed, 9);
}

TEST(SaveAccounts, UnwritablePathRaisesTheErrorText) {
  TestFolder folder;
  WriteBytes(folder / "notafolder", "keep");
  AccountTable table;
  table[0] = MakeAccount("a");
  const InOutException error =
      CatchInOut([&] { SaveAccounts(table, true, folder / "notafolder" / "mail.accounts.qor"); });
  EXPECT_STREQ(error.what(), testing::kFileInPlaceOfFolderText);
  EXPECT_EQ(ReadBytes(folder / "notafolder"), "keep");
}

TEST(SaveAccounts, ReadOnlyFolderLeavesThePreviousFile) {
  if (testing::WritesDespitePermissions()) GTEST_SKIP() << "root may write into a read-only folder";
#ifdef _WIN32
  GTEST_SKIP() << "a folder's read-only attribute does not stop writes on Windows";
#endif
  TestFolder folder;
  const std::string old = FileOf({MakeAccount("old")});
  WriteBytes(folder / "mail.accounts.qor", old);
  std::filesystem::permissions(
      folder.Path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  AccountTable table;
  table[0] = MakeAccount("new");
  const InOutException error =
      CatchInOut([&] { SaveAccounts(table, true, folder / "mail.accounts.qor"); });
  EXPECT_STREQ(error.what(), "File access denied");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), old);
}

// Beyond 100 records: the table holds 100, the rest are kept aside and written
// back, so accounts the editor added past the 100th are not lost.
std::string ManyRecords(std::size_t count, std::int32_t elapsed = 3) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes += MakeAccount("acct" + std::to_string(i), elapsed).ToBytes();
  }
  return bytes;
}

TEST(LoadAccounts, RecordsBeyondTheHundredthAreKeptAside) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", ManyRecords(103));
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  EXPECT_EQ(table.Count(), 100u);
  EXPECT_EQ(table[99].PlainAccountName(), "acct99");
  ASSERT_EQ(table.ExtraRecords().size(), 3u);
  EXPECT_EQ(table.ExtraRecords()[0].PlainAccountName(), "acct100");
  EXPECT_EQ(table.ExtraRecords()[2].PlainAccountName(), "acct102");
  EXPECT_EQ(table.ExtraRecords()[2].Elapsed, 0);
}

TEST(SaveAccounts, RecordsBeyondTheHundredthAreWrittenBack) {
  TestFolder folder;
  WriteBytes(folder / "mail.accounts.qor", ManyRecords(103));
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  SaveAccounts(table, true, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"), ManyRecords(103, 0));
}

TEST(SaveAccounts, ExtraRecordsPastTheWalkAreWrittenBackAsTheyWere) {
  TestFolder folder;
  std::string file = ManyRecords(100);
  AccountRecord noPassword = MakeAccount("end");
  noPassword.Password.Clear();
  file += MakeAccount("acct100").ToBytes() + noPassword.ToBytes() + MakeAccount("after").ToBytes();
  WriteBytes(folder / "mail.accounts.qor", file);
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  SaveAccounts(table, false, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"),
            ManyRecords(101, 0) + noPassword.ToBytes() + MakeAccount("after").ToBytes());
}

TEST(SaveAccounts, RecordsPastAWalkThatEndsEarlierAreWrittenBackAsLoaded) {
  TestFolder folder;
  std::string file = ManyRecords(102);
  AccountTable table;
  WriteBytes(folder / "mail.accounts.qor", file);
  ASSERT_TRUE(LoadAccounts(table, folder / "mail.accounts.qor"));
  table[50].Password.Clear();
  SaveAccounts(table, false, folder / "mail.accounts.qor");
  EXPECT_EQ(ReadBytes(folder / "mail.accounts.qor"),
            ManyRecords(50, 0) + file.substr(50 * kRecordSize));
}

// Another process changed the file since the table read it: a save keeps its
// changes and stores only what the table found.
TEST(SaveAccounts, AFileChangedElsewhereGetsOnlyWhatTheTableFound) {
  TestFolder folder;
  const auto file = folder / "mail.accounts.qor";
  AccountRecord a = MakeAccount("a");
  a.AuthMethod.Clear();
  WriteBytes(file, FileOf({a, MakeAccount("b"), MakeAccount("c")}));
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, file));
  EXPECT_FALSE(AccountsFileChanged(table, file));
  table[0].SetPlainAuthMethod("APOP");  // found by a check
  table[1].Elapsed = 7;
  EXPECT_TRUE(HasOwnChanges(table));

  AccountRecord b = MakeAccount("b");
  b.SetPlainServer("pop.moved.example");
  // c deleted, d and e added, b edited.
  WriteBytes(file, FileOf({b, a, MakeAccount("d"), MakeAccount("e")}));
  EXPECT_TRUE(AccountsFileChanged(table, file));
  EXPECT_TRUE(SaveAccounts(table, false, file));

  AccountRecord aFound = a;
  aFound.SetPlainAuthMethod("APOP");
  AccountRecord bCounted = b;
  bCounted.Elapsed = 7;
  EXPECT_EQ(ReadBytes(file), FileOf({bCounted, aFound, MakeAccount("d"), MakeAccount("e")}));
  // The table is the file's now, with the counts it had.
  ASSERT_EQ(table.Count(), 4u);
  EXPECT_EQ(table[0].PlainServer(), "pop.moved.example");
  EXPECT_EQ(table[0].Elapsed, 7);
  EXPECT_EQ(table[2].PlainAccountName(), "d");
  EXPECT_FALSE(HasOwnChanges(table));
  EXPECT_FALSE(AccountsFileChanged(table, file));
}

TEST(AccountsFileChanged, SameBytesWrittenAgainIsNoChangeAndReloadKeepsTheCounts) {
  TestFolder folder;
  const auto file = folder / "mail.accounts.qor";
  WriteBytes(file, FileOf({MakeAccount("a"), MakeAccount("b")}));
  AccountTable table;
  ASSERT_TRUE(LoadAccounts(table, file));
  table[0].Elapsed = 4;
  table[1].Elapsed = 9;
  std::filesystem::remove(file);
  WriteBytes(file, FileOf({MakeAccount("a"), MakeAccount("b")}));
  EXPECT_FALSE(AccountsFileChanged(table, file));
  WriteBytes(file, FileOf({MakeAccount("b"), MakeAccount("new"), MakeAccount("a")}));
  ASSERT_TRUE(AccountsFileChanged(table, file));
  ASSERT_TRUE(ReloadAccounts(table, file));
  EXPECT_EQ(table[0].Elapsed, 9);
  EXPECT_EQ(table[1].Elapsed, 0);
  EXPECT_EQ(table[2].Elapsed, 4);
}

}  // namespace
}  // namespace corvel
