// The seen-message list of one account: the UIDLs of the messages already
// reported, in the order they were first seen, kept in a plain text file with
// one identifier per line.
//
// Reading accepts CR LF, a lone CR or a lone LF as a line end, a last line
// without one, and empty lines (empty entries); a NUL byte ends the content.
// Writing ends every line with CR LF. Identifiers are never removed. An
// identifier holding CR, LF or NUL is written with those bytes escaped (see
// seen_list.cpp), so that it reads back as it was.
//
// Contains() answers exactly as a scan of the entries from the first would,
// but from an index kept beside them, so a check of a large mailbox stays
// linear in the number of messages.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_set>

namespace corvel {

class SeenList {
 public:
  // Replaces the entries with the content of the file. Throws InOutException.
  void LoadFromFile(const std::filesystem::path& fileName);
  // Replaces the file with the entries (atomically: a failed write leaves the
  // old file as it was). Throws InOutException.
  void SaveToFile(const std::filesystem::path& fileName) const;
  // Adds the entries to the file as it is now, under the file's lock: the
  // file's own entries first, then those of this list it does not hold yet,
  // in this list's order. Another process that checks the same account at the
  // same time therefore adds to the file rather than replacing it, and no
  // identifier either of them recorded is lost. Throws InOutException.
  void MergeIntoFile(const std::filesystem::path& fileName) const;

  // Replaces the entries with those in `content` (the file's bytes).
  void SetText(std::string_view content);
  // The entries as the file holds them: each followed by CR LF.
  [[nodiscard]] std::string Text() const;
  // Whether `content` (a file's bytes) holds `entry` as one of its lines, as
  // this list writes it; without reading the whole list.
  [[nodiscard]] static bool TextHolds(std::string_view content, std::string_view entry);

  [[nodiscard]] bool Contains(std::string_view uidl) const { return index_.contains(uidl); }
  void Append(std::string uidl);
  // Drops the entries from position `count` on (those appended since the
  // list held `count`).
  void TruncateTo(std::size_t count);
  void Clear();

  [[nodiscard]] std::size_t Count() const { return entries_.size(); }
  [[nodiscard]] const std::string& operator[](std::size_t i) const { return entries_[i]; }

 private:
  // A deque keeps its elements in place as it grows, so the index may hold
  // views of them.
  std::deque<std::string> entries_;
  std::unordered_set<std::string_view> index_;
};

}  // namespace corvel
