#include "accounts/account_table.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

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

namespace {

AccountRecord RecordAt(std::string_view content, std::size_t index) {
  return AccountRecord::FromBytes(
      std::span<const char, kRecordSize>(content.data() + index * kRecordSize, kRecordSize));
}

// The number of records of `content` a walk visits.
std::size_t WalkedRecords(std::string_view content) {
  const std::size_t records = std::min(content.size() / kRecordSize, AccountTable::kCapacity);
  std::size_t walked = 0;
  while (walked < records && !RecordAt(content, walked).Password.Empty()) ++walked;
  return walked;
}

bool Fill(AccountTable& table, const std::string& content, FileStamp stamp) {
  table.Clear();
  table.SetImage(AccountTable::FileImage{content, stamp});
  const std::size_t records = content.size() / kRecordSize;
  for (std::size_t i = 0; i < records; ++i) {
    if (i < AccountTable::kCapacity) {
      table[i] = RecordAt(content, i);
    } else {
      table.ExtraRecords().push_back(RecordAt(content, i));
    }
  }
  // Elapsed means nothing in the file; every account starts its interval anew.
  ForEachSaved(table, [](AccountRecord& record) { record.Elapsed = 0; });
  return records > 0;
}

using ElapsedByKey = std::vector<std::pair<std::string, std::int32_t>>;

ElapsedByKey ElapsedOf(const AccountTable& table) {
  ElapsedByKey elapsed;
  for (const AccountRecord& record : table.Walk())
    elapsed.emplace_back(AccountIdentity(record), record.Elapsed);
  return elapsed;
}

// Accounts that are still there keep counting where they were.
void CarryElapsed(AccountTable& table, ElapsedByKey elapsed) {
  for (AccountRecord& record : table.Walk()) {
    const std::string key = AccountIdentity(record);
    for (auto& [oldKey, count] : elapsed) {
      if (oldKey != key) continue;
      record.Elapsed = count;
      oldKey.clear();  // "u"/"n" prefixed keys are never empty
      break;
    }
  }
}

// The file as another writer left it, with what this table owns stored into
// it: for each account of the table that is still there, the login method or
// seen-message file name it found since it read the file, and Elapsed.
// Everything else is the other writer's.
std::string Merge(const AccountTable& table, const std::string& loaded, std::string current,
                  bool zeroElapsed) {
  const std::size_t walked = WalkedRecords(current);
  std::vector<bool> taken(walked, false);
  const std::size_t mine = std::min(table.Count(), loaded.size() / kRecordSize);
  for (std::size_t i = 0; i < mine; ++i) {
    const AccountRecord before = RecordAt(loaded, i);
    const AccountRecord& now = table[i];
    const std::string key = AccountIdentity(before);
    for (std::size_t j = 0; j < walked; ++j) {
      if (taken[j]) continue;
      AccountRecord target = RecordAt(current, j);
      if (AccountIdentity(target) != key) continue;
      taken[j] = true;
      if (now.AuthMethod != before.AuthMethod) target.AuthMethod = now.AuthMethod;
      if (now.UidlFileName != before.UidlFileName) target.UidlFileName = now.UidlFileName;
      target.Elapsed = zeroElapsed ? 0 : now.Elapsed;
      target.ToBytes(std::span<char, kRecordSize>(current.data() + j * kRecordSize, kRecordSize));
      break;
    }
  }
  return current;
}

}  // namespace

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
  return Fill(table, *content, stamp);
}

bool ReloadAccounts(AccountTable& table, const std::filesystem::path& fileName) {
  ElapsedByKey elapsed = ElapsedOf(table);
  const bool loaded = LoadAccounts(table, fileName);
  CarryElapsed(table, std::move(elapsed));
  return loaded;
}

bool HasOwnChanges(const AccountTable& table) {
  const auto& image = table.Image();
  if (!image) return false;
  const std::size_t known = std::min(table.Count(), image->content.size() / kRecordSize);
  for (std::size_t i = 0; i < known; ++i) {
    const AccountRecord before = RecordAt(image->content, i);
    if (before.AuthMethod != table[i].AuthMethod || before.UidlFileName != table[i].UidlFileName) {
      return true;
    }
  }
  return false;
}

bool AccountsFileChanged(AccountTable& table, const std::filesystem::path& fileName) {
  const auto& image = table.Image();
  if (!image) return false;
  const FileStamp stamp = StampOf(fileName);
  if (stamp == image->stamp) return false;
  // A missing file leaves the table as it is, as a load would.
  if (!stamp.exists) return false;
  const std::optional<std::string> content = ReadFileIfExists(fileName);
  if (content && *content != image->content) return true;
  // Written again with the same bytes: nothing to reload.
  table.SetImage(AccountTable::FileImage{image->content, stamp});
  return false;
}

bool SaveAccounts(AccountTable& table, bool zeroElapsed, const std::filesystem::path& fileName) {
  // Another process may write the file at the same time: the table's change
  // is applied to the file as it is under its lock.
  bool merged = false;
  const EditedFile edited =
      EditFileUnderLock(fileName, [&](const std::optional<std::string>& current) {
        const auto& image = table.Image();
        if (current && image && *current != image->content) {
          merged = true;
          return std::optional<std::string>(Merge(table, image->content, *current, zeroElapsed));
        }
        std::string content;
        const std::size_t saved = ForEachSaved(table, [&](const AccountRecord& record) {
          AccountRecord stored = record;
          if (zeroElapsed) stored.Elapsed = 0;
          content += stored.ToBytes();
        });
        if (image) {
          const std::size_t imageRecords = image->content.size() / kRecordSize;
          content.append(image->content, std::min(saved, imageRecords) * kRecordSize);
        }
        // The file already holds these bytes: it is not written again.
        if (current && *current == content) return std::optional<std::string>();
        return std::optional<std::string>(std::move(content));
      });

  if (merged) {
    ElapsedByKey elapsed = ElapsedOf(table);
    if (zeroElapsed) elapsed.clear();
    Fill(table, *edited.content, edited.stamp);
    CarryElapsed(table, std::move(elapsed));
    return true;
  }
  table.SetImage(AccountTable::FileImage{*edited.content, edited.stamp});
  if (zeroElapsed) ForEachSaved(table, [](AccountRecord& record) { record.Elapsed = 0; });
  return false;
}

}  // namespace corvel
