#include "app/activity_log.h"

#include <utility>

namespace corvel {

std::string FormatLogLine(const LocaleFormat& format, const std::tm& localTime,
                          std::string_view account, std::string_view message) {
  std::string line = "[";
  line += format.ShortDate(localTime);
  line += ' ';
  line += format.LongTime(localTime);
  if (!account.empty()) {
    line += '/';
    line += account;
  }
  line += "] ";
  line += message;
  return line;
}

void LogMemoModel::Append(std::string_view text) {
  std::size_t start = 0;
  while (true) {
    const std::size_t brk = text.find_first_of("\r\n", start);
    if (brk == std::string_view::npos) {
      AppendLine(std::string(text.substr(start)));
      return;
    }
    AppendLine(std::string(text.substr(start, brk - start)));
    // CR LF is one break; a lone CR or LF is one break too.
    start = brk + ((text[brk] == '\r' && brk + 1 < text.size() && text[brk + 1] == '\n') ? 2 : 1);
    // A text ending in a break adds no empty line after it, as a memo shows it.
    if (start == text.size()) return;
  }
}

std::string LogMemoModel::Text() const {
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines_[i];
  }
  return text;
}

void LogMemoModel::AppendLine(std::string line) {
  lines_.push_back(std::move(line));
  if (OnLineAppended) OnLineAppended(lines_.back());
  LogMemoChange();
}

void LogMemoModel::LogMemoChange() {
  while (lines_.size() > kMaxLines) {
    lines_.pop_front();
    if (OnFirstLineRemoved) OnFirstLineRemoved();
  }
}

}  // namespace corvel
