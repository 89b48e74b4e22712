#include "checker/seen_list.h"

#include <algorithm>

#include "accounts/file_io.h"

namespace corvel {

void SeenList::LoadFromFile(const std::filesystem::path& fileName) {
  SetText(ReadWholeFile(fileName));
}

void SeenList::SaveToFile(const std::filesystem::path& fileName) const {
  ReplaceFileAtomically(fileName, Text());
}

void SeenList::MergeIntoFile(const std::filesystem::path& fileName) const {
  (void)EditFileUnderLock(fileName, [this](const std::optional<std::string>& current) {
    // The file holds this list as it would be written (the usual check that
    // found nothing new): nothing to merge, nothing to write.
    if (current && *current == Text()) return std::optional<std::string>();
    SeenList merged;
    if (current) merged.SetText(*current);
    for (const std::string& entry : entries_) {
      if (!merged.Contains(entry)) merged.Append(entry);
    }
    std::string text = merged.Text();
    // Nothing new: the file stays as it is.
    if (current && text == *current) return std::optional<std::string>();
    return std::optional<std::string>(std::move(text));
  });
}

namespace {

// An identifier may hold any byte but those that end a line of the file or
// its content (CR, LF, NUL); those are written as the escape byte DLE (0x10)
// and a letter, and DLE itself as two DLEs. No identifier the file held before
// contains DLE, so they all read as they were written.
constexpr char kEscape = '\x10';

void AppendEscaped(std::string& text, std::string_view entry) {
  for (const char c : entry) {
    switch (c) {
      case '\r':
        text += kEscape;
        text += 'r';
        break;
      case '\n':
        text += kEscape;
        text += 'n';
        break;
      case '\0':
        text += kEscape;
        text += '0';
        break;
      case kEscape:
        text += kEscape;
        text += kEscape;
        break;
      default:
        text += c;
    }
  }
}

std::string Unescaped(std::string_view line) {
  if (line.find(kEscape) == std::string_view::npos) return std::string(line);
  std::string entry;
  entry.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char next = i + 1 < line.size() ? line[i + 1] : '\0';
    if (line[i] != kEscape || (next != 'r' && next != 'n' && next != '0' && next != kEscape)) {
      entry += line[i];  // not an escape this file could have written: kept as it is
      continue;
    }
    entry += next == 'r' ? '\r' : next == 'n' ? '\n' : next == '0' ? '\0' : kEscape;
    ++i;
  }
  return entry;
}

}  // namespace

void SeenList::SetText(std::string_view content) {
  Clear();
  // Whatever follows a NUL byte is not part of the list.
  content = content.substr(0, content.find('\0'));
  // Room in the index for a line per LF, so that it is not rebuilt again and
  // again as a large list is read.
  index_.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) + 1);
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = pos;
    while (end < content.size() && content[end] != '\r' && content[end] != '\n') ++end;
    Append(Unescaped(content.substr(pos, end - pos)));
    if (end == content.size()) break;
    pos = end + 1;
    if (content[end] == '\r' && pos < content.size() && content[pos] == '\n') ++pos;
  }
}

bool SeenList::TextHolds(std::string_view content, std::string_view entry) {
  content = content.substr(0, content.find('\0'));
  std::string line;
  AppendEscaped(line, entry);
  const auto endsLine = [content](std::size_t at) {
    return at == content.size() || content[at] == '\r' || content[at] == '\n';
  };
  for (std::size_t at = content.find(line); at != std::string_view::npos;
       at = content.find(line, at + 1)) {
    if ((at == 0 || endsLine(at - 1)) && endsLine(at + line.size())) return true;
  }
  return false;
}

std::string SeenList::Text() const {
  std::string text;
  std::size_t size = 0;
  for (const std::string& entry : entries_) size += entry.size() + 2;
  text.reserve(size);
  for (const std::string& entry : entries_) {
    AppendEscaped(text, entry);
    text += "\r\n";
  }
  return text;
}

void SeenList::Append(std::string uidl) {
  entries_.push_back(std::move(uidl));
  index_.insert(entries_.back());
}

void SeenList::TruncateTo(std::size_t count) {
  while (entries_.size() > count) {
    const std::string& last = entries_.back();
    // The index refers to the first entry of each text; an earlier equal
    // entry keeps its place there.
    const auto found = index_.find(last);
    if (found != index_.end() && found->data() == last.data()) index_.erase(found);
    entries_.pop_back();
  }
}

void SeenList::Clear() {
  index_.clear();
  entries_.clear();
}

}  // namespace corvel
