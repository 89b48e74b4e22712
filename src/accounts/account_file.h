// Record-by-record access to the accounts file for the account editor, which
// holds the file open while it edits: read a record, overwrite one, append one,
// delete one (the records after it move down by one).
//
// Every change rebuilds the file's content in memory (at most a few hundred
// records of 688 bytes) and replaces the file atomically, so a failed write
// leaves the file exactly as it was before the change, never truncated or
// half-written. The content read at Open() is the editor's copy; the program
// writes the file only through this object while the editor is open.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "accounts/account_record.h"
#include "accounts/account_table.h"

namespace corvel {

class AccountFile {
 public:
  explicit AccountFile(std::filesystem::path fileName = kAccountsFileName);

  // Reads the file, creating it empty when missing. Throws InOutException.
  void Open();
  void Close();
  [[nodiscard]] bool IsOpen() const { return open_; }
  [[nodiscard]] const std::filesystem::path& FileName() const { return fileName_; }

  // The number of complete records; a trailing fragment is not a record.
  [[nodiscard]] std::size_t RecordCount() const;

  // Record `index`. Past the last record: "Read beyond end of file".
  [[nodiscard]] AccountRecord ReadRecord(std::size_t index) const;

  // Overwrites record `index`, or appends when `index` is RecordCount(); a
  // trailing fragment is kept by an overwrite and covered by an append, as a
  // record written at its offset would. Beyond that: "Read beyond end of file".
  void WriteRecord(std::size_t index, const AccountRecord& record);

  // Removes record `index`; the records after it move down by one and a
  // trailing fragment is dropped. Past the last record: "Read beyond end of
  // file".
  void DeleteRecord(std::size_t index);

 private:
  void CheckOpen() const;
  void Replace(std::string content);

  std::filesystem::path fileName_;
  std::string content_;  // the file's bytes, trailing fragment included
  bool open_ = false;
};

}  // namespace corvel
