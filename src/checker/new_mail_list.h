// The rows of the "New mail" list: one row per new message, or one overview
// row per account, six columns each ("Account", "From", "Subject", "Date",
// "Bytes", "UIDL"). This is the list's content; a view shows it and mirrors
// every change through OnChanged.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
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

  void Clear() {
    rows_.clear();
    if (OnChanged) OnChanged(Change::Cleared, 0);
  }
  void Append(MailRow row) {
    rows_.push_back(std::move(row));
    if (OnChanged) OnChanged(Change::Appended, rows_.size() - 1);
  }
  void Delete(std::size_t index) {
    if (index >= rows_.size()) return;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    if (OnChanged) OnChanged(Change::Deleted, index);
  }

 private:
  std::vector<MailRow> rows_;
};

}  // namespace corvel
