// The in-memory account table the check cycle walks, and its two whole-table
// transfers with the accounts file: LoadAccounts at start-up and when the
// editor closes, SaveAccounts at exit and when the editor opens.
//
// The table has no count. A walk starts at entry 0 and ends before the first
// entry with an empty password (the editor never stores an account without
// one), and never goes past entry 99. Every user of the table walks it so.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_record.h"
#include "accounts/file_io.h"

namespace corvel {

// The accounts file, opened by bare name in the working directory.
inline constexpr std::string_view kAccountsFileName = "mail.accounts.qor";

class AccountTable {
 public:
  static constexpr std::size_t kCapacity = 100;

  // Entry `index` (0..99); throws std::out_of_range beyond.
  [[nodiscard]] AccountRecord& operator[](std::size_t index);
  [[nodiscard]] const AccountRecord& operator[](std::size_t index) const;

  // The number of walked entries: those before the first empty password.
  [[nodiscard]] std::size_t Count() const;
  // The walked entries, for range-for loops.
  [[nodiscard]] std::span<AccountRecord> Walk();
  [[nodiscard]] std::span<const AccountRecord> Walk() const;

  // Empties all 100 entries (every byte zero), drops the extra records and
  // forgets the file image.
  void Clear();

  // Records the file held beyond the 100th. The check cycle never sees them,
  // but they are not lost: when all 100 entries are walked, the walk goes on
  // through them (up to the first empty password) when the table is saved, so
  // the file keeps every account the editor stored.
  [[nodiscard]] std::vector<AccountRecord>& ExtraRecords() { return extra_; }
  [[nodiscard]] const std::vector<AccountRecord>& ExtraRecords() const { return extra_; }

  // The accounts file as the table last read or wrote it: its bytes (empty
  // for a missing file) and its stamp. Nothing until the table has met the
  // file. A save writes the records the walk did not reach, and a trailing
  // fragment, back from here unchanged.
  struct FileImage {
    std::string content;
    FileStamp stamp;
  };
  [[nodiscard]] const std::optional<FileImage>& Image() const { return image_; }
  void SetImage(std::optional<FileImage> image) { image_ = std::move(image); }

 private:
  std::array<AccountRecord, kCapacity> entries_{};
  std::vector<AccountRecord> extra_;
  std::optional<FileImage> image_;
};

// Fills the table from the file. Returns whether the check timer is to be
// enabled: true when the file held at least one complete record. A missing file
// reads nothing and leaves the table's entries as they are; otherwise the table
// is emptied and filled with the complete records in file order (a trailing
// fragment shorter than a record is not a record), and every walked entry's
// Elapsed is set to 0. Either way the table keeps the file's image. Throws
// InOutException; the table is then unchanged.
[[nodiscard]] bool LoadAccounts(AccountTable& table,
                                const std::filesystem::path& fileName = kAccountsFileName);

// Rewrites the whole file from the walked entries (and the extra records, see
// AccountTable::ExtraRecords), in table order, followed by whatever the file
// held past them when the table last read or wrote it — records the walk did
// not reach (after a damaged record) and a trailing fragment — byte for byte.
// With `zeroElapsed`, Elapsed of every walked entry is written as 0 and set to
// 0 in the table.
//
// When someone else has changed the file since the table read or wrote it
// (another process: `corvel accounts`, a `corvel check`), their file is kept
// and only what the table owns is stored into it: for each of the table's
// accounts still there (known by its seen-message file name), a login method
// or seen-message file name found since, and Elapsed. The table is then
// reloaded from the result (Elapsed carried over) and true is returned.
//
// The file is read and replaced under its lock, atomically: on failure
// (InOutException) the old file and the table are as they were.
bool SaveAccounts(AccountTable& table, bool zeroElapsed,
                  const std::filesystem::path& fileName = kAccountsFileName);

// LoadAccounts, with every account that is still there keeping its Elapsed
// (known by its seen-message file name), for a reload while checking goes on.
[[nodiscard]] bool ReloadAccounts(AccountTable& table,
                                  const std::filesystem::path& fileName = kAccountsFileName);

// Whether the table holds something of its own the file has not got yet: a
// login method or seen-message file name found since it read or wrote it.
[[nodiscard]] bool HasOwnChanges(const AccountTable& table);

// Whether the file differs from what the table last read or wrote (its stamp
// first, then its bytes): someone else changed it. False for a table that never
// met the file, and for a missing file. Throws InOutException when a changed
// file cannot be read.
[[nodiscard]] bool AccountsFileChanged(AccountTable& table,
                                       const std::filesystem::path& fileName = kAccountsFileName);

}  // namespace corvel
