#include "pop3/pop3_parse.h"

namespace corvel {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads the digits at `pos` and advances past them.
std::int32_t ReadNumber(std::string_view line, size_t& pos) {
  std::uint32_t value = 0;
  while (pos < line.size() && IsDigit(line[pos])) {
    value = value * 10u + static_cast<std::uint32_t>(line[pos] - '0');
    ++pos;
  }
  return static_cast<std::int32_t>(value);
}

size_t FirstDigit(std::string_view line) {
  size_t pos = 0;
  while (pos < line.size() && !IsDigit(line[pos])) ++pos;
  return pos;
}

}  // namespace

bool ParseNumbers(std::string_view line, std::int32_t& first, std::int32_t& second) {
  first = 0;
  second = 0;
  size_t pos = FirstDigit(line);
  if (pos >= line.size()) return false;
  const std::int32_t number = ReadNumber(line, pos);
  while (pos < line.size() && IsBlankOrLineEnd(line[pos])) ++pos;
  if (pos >= line.size()) return false;
  first = number;
  second = ReadNumber(line, pos);
  return true;
}

bool ParseNumberAndUidl(std::string_view line, std::int32_t& number, std::string& uidl) {
  number = 0;
  uidl.clear();
  size_t pos = FirstDigit(line);
  if (pos >= line.size()) return false;
  number = ReadNumber(line, pos);
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  uidl.assign(line.substr(pos));
  return true;
}

std::int32_t ParseFirstNumber(std::string_view line) {
  size_t pos = FirstDigit(line);
  return ReadNumber(line, pos);
}

std::string TrimControl(std::string_view text) {
  auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isControl(text[begin])) ++begin;
  while (end > begin && isControl(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace corvel
