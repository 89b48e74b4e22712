// Record-by-record access to the accounts file, for the account editor and the
// `corvel accounts` commands: read a record, overwrite one, append one, delete
// one (the records after it move down by one).
//
// Other processes of the program may change the file at any time (a running
// program saving what a check found, another `corvel accounts`). So every
// change is made in Edit(): under the file's lock, on the records as the file
// holds them at that moment, and written back whole (atomically) when the
// change is done; a change that throws writes nothing. Records are found again
// by their identity (AccountIdentity: the seen-message file name), never by an
// index read earlier. Outside Edit() the object holds the copy read last.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "accounts/account_record.h"
#include "accounts/account_table.h"

namespace corvel {

class AccountFile {
 public:
  explicit AccountFile(std::filesystem::path fileName = kAccountsFileName);

  // Reads the file, creating it empty (under its lock) when missing, as the
  // editor does when it opens. Throws InOutException.
  void Open();
  // Reads the file as it is now; a missing file reads as no records and is
  // not created. Throws InOutException.
  void Load();
  void Close();
  [[nodiscard]] bool IsOpen() const { return open_; }
  [[nodiscard]] const std::filesystem::path& FileName() const { return fileName_; }

  // Runs `change` on this object with the records as the file holds them under
  // its lock; the reads and writes it makes see and change those records, and
  // what it leaves is written when it changed anything (a missing file that
  // gained no record stays missing). Throws InOutException, or what `change`
  // throws: then nothing is written, and the object holds the file as it was.
  void Edit(const std::function<void(AccountFile& records)>& change);

  // The number of complete records; a trailing fragment is not a record.
  [[nodiscard]] std::size_t RecordCount() const;

  // Record `index`. Past the last record: "Read beyond end of file".
  [[nodiscard]] AccountRecord ReadRecord(std::size_t index) const;

  // The index of the record that is `record`'s account (the same identity);
  // of several (a damaged file), the one nearest `near`. Nothing when the
  // account is not there (any more).
  [[nodiscard]] std::optional<std::size_t> Find(const AccountRecord& record,
                                                std::size_t near = 0) const;

  // Overwrites record `index`, or appends when `index` is RecordCount(); a
  // trailing fragment is kept by an overwrite and covered by an append, as a
  // record written at its offset would. Beyond that: "Read beyond end of file".
  // Outside Edit() it is an edit of its own, on the records as they are then.
  void WriteRecord(std::size_t index, const AccountRecord& record);

  // Removes record `index`; the records after it move down by one and a
  // trailing fragment is dropped. Past the last record: "Read beyond end of
  // file". Outside Edit() it is an edit of its own.
  void DeleteRecord(std::size_t index);

 private:
  void CheckOpen() const;

  std::filesystem::path fileName_;
  std::string content_;  // the file's bytes, trailing fragment included
  bool open_ = false;
  bool editing_ = false;
};

}  // namespace corvel
