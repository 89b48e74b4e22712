#include "app/process/command_line.h"

namespace corvel {
namespace {

// A carriage return counts as a blank: a line written on Windows must not
// leave an invisible character at the end of the last word.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::nullopt_t Refuse(std::string* error, const char* why) {
  if (error != nullptr) *error = why;
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view line,
                                                         std::string* error) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size() && line[i + 1] == '\n') {
      ++i;  // a continued line
      continue;
    }
    if (IsBlank(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i >= line.size()) return Refuse(error, "a \\ ends the line");
      word += line[i];
    } else if (c == '\'') {
      const std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return Refuse(error, "a ' is not closed");
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) return Refuse(error, "a \" is not closed");
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() &&
            std::string_view("\\\"$`\n").find(line[i + 1]) != std::string_view::npos) {
          if (line[++i] == '\n') continue;
        }
        word += line[i];
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace corvel
