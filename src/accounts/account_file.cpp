#include "accounts/account_file.h"

#include <cerrno>
#include <optional>
#include <utility>

#include "accounts/file_io.h"

namespace corvel {

AccountFile::AccountFile(std::filesystem::path fileName) : fileName_(std::move(fileName)) {}

void AccountFile::Open() {
  CreateFileIfMissing(fileName_);
  content_ = ReadWholeFile(fileName_);
  open_ = true;
}

void AccountFile::Close() {
  open_ = false;
  content_.clear();
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

void AccountFile::WriteRecord(std::size_t index, const AccountRecord& record) {
  const std::size_t count = RecordCount();
  if (index > count) throw InOutException(kReadBeyondEndOfFile, fileName_);
  std::string content;
  if (index < count) {
    content = content_;
    record.ToBytes(std::span<char, kRecordSize>(content.data() + index * kRecordSize, kRecordSize));
  } else {
    // The new record is longer than any fragment, so it covers the fragment.
    content = content_.substr(0, count * kRecordSize) + record.ToBytes();
  }
  Replace(std::move(content));
}

void AccountFile::DeleteRecord(std::size_t index) {
  const std::size_t count = RecordCount();
  if (index >= count) throw InOutException(kReadBeyondEndOfFile, fileName_);
  std::string content = content_.substr(0, index * kRecordSize);
  content.append(content_, (index + 1) * kRecordSize, (count - index - 1) * kRecordSize);
  Replace(std::move(content));
}

void AccountFile::CheckOpen() const {
  // Using a closed file is the run-time's "file not open" error; it has no
  // text of its own and shows as an I/O error with the system's number.
  if (!open_) throw InOutException(EBADF, fileName_);
}

void AccountFile::Replace(std::string content) {
  (void)EditFileUnderLock(fileName_, [&content](const std::optional<std::string>&) {
    return std::optional<std::string>(content);
  });
  content_ = std::move(content);
}

}  // namespace corvel
