#include "accounts/account_file.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

#include "accounts/file_io.h"

namespace corvel {

AccountFile::AccountFile(std::filesystem::path fileName) : fileName_(std::move(fileName)) {}

void AccountFile::Open() {
  CreateFileIfMissing(fileName_);
  Load();
}

void AccountFile::Load() {
  content_ = ReadFileIfExists(fileName_).value_or(std::string());
  open_ = true;
}

void AccountFile::Close() {
  open_ = false;
  content_.clear();
}

void AccountFile::Edit(const std::function<void(AccountFile& records)>& change) {
  if (editing_) {
    change(*this);
    return;
  }
  std::string copy = content_;
  const bool wasOpen = open_;
  try {
    const EditedFile edited =
        EditFileUnderLock(fileName_, [&](const std::optional<std::string>& current) {
          const std::string before = current.value_or(std::string());
          content_ = before;
          open_ = true;
          editing_ = true;
          change(*this);
          editing_ = false;
          if (content_ == before && (current || content_.empty())) {
            return std::optional<std::string>();
          }
          return std::optional<std::string>(content_);
        });
    content_ = edited.content.value_or(std::string());
  } catch (...) {
    editing_ = false;
    content_ = std::move(copy);
    open_ = wasOpen;
    throw;
  }
}

std::size_t AccountFile::RecordCount() const {
  CheckOpen();
  return content_.size() / kRecordSize;
}

AccountRecord AccountFile::ReadRecord(std::size_t index) const {
  if (index >= RecordCount()) throw InOutException(kReadBeyondEndOfFile, fileName_);
  return AccountRecord::FromBytes(
      std::span<const char, kRecordSize>(content_.data() + index * kRecordSize, kRecordSize));
}

std::optional<std::size_t> AccountFile::Find(const AccountRecord& record, std::size_t near) const {
  const std::string identity = AccountIdentity(record);
  std::optional<std::size_t> found;
  const std::size_t count = RecordCount();
  for (std::size_t i = 0; i < count; ++i) {
    if (AccountIdentity(ReadRecord(i)) != identity) continue;
    const auto distance = [near](std::size_t at) { return at > near ? at - near : near - at; };
    if (!found || distance(i) < distance(*found)) found = i;
  }
  return found;
}

void AccountFile::WriteRecord(std::size_t index, const AccountRecord& record) {
  if (!editing_) {
    CheckOpen();
    Edit([&](AccountFile& records) { records.WriteRecord(index, record); });
    return;
  }
  const std::size_t count = RecordCount();
  if (index > count) throw InOutException(kReadBeyondEndOfFile, fileName_);
  if (index < count) {
    record.ToBytes(
        std::span<char, kRecordSize>(content_.data() + index * kRecordSize, kRecordSize));
  } else {
    // The new record is longer than any fragment, so it covers the fragment.
    content_.resize(count * kRecordSize);
    content_ += record.ToBytes();
  }
}

void AccountFile::DeleteRecord(std::size_t index) {
  if (!editing_) {
    CheckOpen();
    Edit([&](AccountFile& records) { records.DeleteRecord(index); });
    return;
  }
  const std::size_t count = RecordCount();
  if (index >= count) throw InOutException(kReadBeyondEndOfFile, fileName_);
  content_.erase(index * kRecordSize, kRecordSize);
  content_.resize((count - 1) * kRecordSize);
}

void AccountFile::CheckOpen() const {
  // Using a closed file is the run-time's "file not open" error; it has no
  // text of its own and shows as an I/O error with the system's number.
  if (!open_) throw InOutException(EBADF, fileName_);
}

}  // namespace corvel
