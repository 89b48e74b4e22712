#include "app/token_command.h"

#include <stdexcept>

namespace corvel {

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'') {
      const std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) throw std::invalid_argument("unterminated ' quote");
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) throw std::invalid_argument("unterminated \" quote");
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() &&
            std::string_view("\"\\$`\n").find(line[i + 1]) != std::string_view::npos) {
          ++i;
        }
        word.push_back(line[i]);
      }
    } else if (c == '\\') {
      if (i + 1 >= line.size()) throw std::invalid_argument("backslash at the end of the line");
      word.push_back(line[++i]);
    } else {
      word.push_back(c);
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace corvel
