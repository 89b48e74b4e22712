// The rows of the "New mail" list: one row per new message, or one overview
// row per account, six columns each ("Account", "From", "Subject", "Date",
// "Bytes", "UIDL"). This is the list's content; a view shows it and mirrors
// every change through OnChanged. Whether a row of an account with an
// identifier is listed is answered from an index kept beside the rows, so
// listing many messages costs time in proportion to their number.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvel {

inline constexpr std::size_t kMailColumnCount = 6;

struct MailRow {
  std::string account;  // the row's caption
  std::string from;
  std::string subject;
  std::string date;
  std::string bytes;
  std::string uidl;
  // The sender and subject as the server sent them, before decoding (empty
  // for an overview row). The decoded columns no longer say which character
  // set their bytes are in; a screen decodes these for display instead.
  std::string rawFrom;
  std::string rawSubject;

  [[nodiscard]] std::array<std::string, kMailColumnCount> Columns() const {
    return {account, from, subject, date, bytes, uidl};
  }
  bool operator==(const MailRow&) const = default;
};

class NewMailList {
 public:
  enum class Change { Cleared, Appended, Deleted };
  // Runs on the owner's thread after each change; index is the row appended
  // or deleted (0 for Cleared).
  std::function<void(Change change, std::size_t index)> OnChanged;

  [[nodiscard]] const std::vector<MailRow>& Rows() const { return rows_; }
  [[nodiscard]] std::size_t Count() const { return rows_.size(); }

  // Whether a row has this caption and this "UIDL" column.
  [[nodiscard]] bool Holds(std::string_view account, std::string_view uidl) const {
    return index_.contains(Key(account, uidl));
  }

  void Clear() {
    rows_.clear();
    index_.clear();
    if (OnChanged) OnChanged(Change::Cleared, 0);
  }
  void Append(MailRow row) {
    ++index_[Key(row.account, row.uidl)];
    rows_.push_back(std::move(row));
    if (OnChanged) OnChanged(Change::Appended, rows_.size() - 1);
  }
  void Delete(std::size_t index) {
    if (index >= rows_.size()) return;
    const auto found = index_.find(Key(rows_[index].account, rows_[index].uidl));
    if (found != index_.end() && --found->second == 0) index_.erase(found);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    if (OnChanged) OnChanged(Change::Deleted, index);
  }

 private:
  // The caption's length first, so that no two pairs share a key.
  static std::string Key(std::string_view account, std::string_view uidl) {
    std::string key = std::to_string(account.size());
    key += ':';
    key += account;
    key += uidl;
    return key;
  }

  std::vector<MailRow> rows_;
  // How many rows each caption and identifier has.
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace corvel
