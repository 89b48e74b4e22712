#include "accounts/account_table.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "accounts/file_io.h"

namespace corvel {

namespace {

// The records a save writes, in order: the walked entries and, when the walk
// filled all 100 entries, the extra records up to the first empty password.
// Returns the number of records visited.
template <typename Table, typename Visit>
std::size_t ForEachSaved(Table& table, Visit visit) {
  std::size_t visited = 0;
  for (auto& record : table.Walk()) {
    visit(record);
    ++visited;
  }
  if (visited < AccountTable::kCapacity) return visited;
  for (auto& record : table.ExtraRecords()) {
    if (record.Password.Empty()) break;
    visit(record);
    ++visited;
  }
  return visited;
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
  image_.reset();
}

bool LoadAccounts(AccountTable& table, const std::filesystem::path& fileName) {
  // The whole file is read before the table is touched, so a failed read leaves
  // the table as it was. The stamp is taken first: a change that lands between
  // the two shows as a stamp that no longer matches.
  const FileStamp stamp = StampOf(fileName);
  const std::optional<std::string> content = ReadFileIfExists(fileName);
  if (!content) {
    table.SetImage(AccountTable::FileImage{{}, stamp});
    return false;
  }

  // Emptying the table first matters when the editor closes; at start-up the
  // table is empty anyway.
  table.Clear();
  table.SetImage(AccountTable::FileImage{*content, stamp});
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
  const std::size_t saved = ForEachSaved(table, [&](const AccountRecord& record) {
    AccountRecord stored = record;
    if (zeroElapsed) stored.Elapsed = 0;
    content += stored.ToBytes();
  });
  if (const auto& image = table.Image()) {
    const std::size_t imageRecords = image->content.size() / kRecordSize;
    content.append(image->content, std::min(saved, imageRecords) * kRecordSize);
  }
  ReplaceFileAtomically(fileName, content);
  table.SetImage(AccountTable::FileImage{content, StampOf(fileName)});
  if (zeroElapsed) ForEachSaved(table, [](AccountRecord& record) { record.Elapsed = 0; });
}

}  // namespace corvel
