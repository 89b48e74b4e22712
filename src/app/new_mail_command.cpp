#include "app/new_mail_command.h"

namespace corvel {

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text,
                                                         std::string* error) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\\') {
      if (++i < text.size() && text[i] != '\n') word += text[i];
    } else if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      if (close == std::string_view::npos) {
        if (error != nullptr) *error = "a ' is not closed";
        return std::nullopt;
      }
      word.append(text.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= text.size()) {
          if (error != nullptr) *error = "a \" is not closed";
          return std::nullopt;
        }
        if (text[i] == '"') break;
        if (text[i] == '\\' && i + 1 < text.size() &&
            std::string_view("\\\"$`\n").find(text[i + 1]) != std::string_view::npos) {
          ++i;
          if (text[i] == '\n') continue;
        }
        word += text[i];
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

}  // namespace corvel
