#include "accounts/account_table.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "accounts/file_io.h"

namespace corvel {

namespace {

// The records a save writes, in order: the walked entries and, when the walk
// filled all 100 entries, the extra records up to the first empty password.
template <typename Table, typename Visit>
void ForEachSaved(Table& table, Visit visit) {
  for (auto& record : table.Walk()) visit(record);
  if (table.Count() < AccountTable::kCapacity) return;
  for (auto& record : table.ExtraRecords()) {
    if (record.Password.Empty()) return;
    visit(record);
  }
}

}  // namespace

AccountRecord& AccountTable::operator[](std::size_t index) {
  if (index >= kCapacity) throw std::out_of_range("account table index out of range");
  return entries_[index];
}

const AccountRecord& AccountTable::operator[](std::size_t index) const {
  if (index >= kCapacity) throw std::out_of_range("account table index out of range");
  return entries_[index];
}

std::size_t AccountTable::Count() const {
  std::size_t count = 0;
  while (count < kCapacity && !entries_[count].Password.Empty()) ++count;
  return count;
}

std::span<AccountRecord> AccountTable::Walk() { return {entries_.data(), Count()}; }

std::span<const AccountRecord> AccountTable::Walk() const { return {entries_.data(), Count()}; }

void AccountTable::Clear() {
  entries_.fill(AccountRecord{});
  extra_.clear();
}

bool LoadAccounts(AccountTable& table, const std::filesystem::path& fileName) {
  // The whole file is read before the table is touched, so a failed read leaves
  // the table as it was.
  const std::optional<std::string> content = ReadFileIfExists(fileName);
  if (!content) return false;

  // Emptying the table first matters when the editor closes; at start-up the
  // table is empty anyway.
  table.Clear();
  const std::size_t records = content->size() / kRecordSize;
  for (std::size_t i = 0; i < records; ++i) {
    const std::span<const char, kRecordSize> bytes(content->data() + i * kRecordSize, kRecordSize);
    if (i < AccountTable::kCapacity) {
      table[i] = AccountRecord::FromBytes(bytes);
    } else {
      table.ExtraRecords().push_back(AccountRecord::FromBytes(bytes));
    }
  }
  // Elapsed means nothing in the file; every account starts its interval anew.
  ForEachSaved(table, [](AccountRecord& record) { record.Elapsed = 0; });
  return records > 0;
}

void SaveAccounts(AccountTable& table, bool zeroElapsed, const std::filesystem::path& fileName) {
  std::string content;
  ForEachSaved(table, [&](const AccountRecord& record) {
    AccountRecord stored = record;
    if (zeroElapsed) stored.Elapsed = 0;
    content += stored.ToBytes();
  });
  ReplaceFileAtomically(fileName, content);
  if (zeroElapsed) ForEachSaved(table, [](AccountRecord& record) { record.Elapsed = 0; });
}

}  // namespace corvel
