// The line protocol between the Windows tests' TLS server stand-in
// (tls_test_remote.cpp) and the TLS peer host (tls_peer_host.cpp), which runs
// the OpenSSL server side natively: a request is a command word followed by
// its fields, a reply its fields; fields are hex, "-" when empty, separated
// by blanks, and the line ends in LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvel::test::wire {

inline std::string Field(std::string_view bytes) {
  if (bytes.empty()) return "-";
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

inline std::string Line(const std::vector<std::string>& fields, std::string_view command = {}) {
  std::string line(command);
  for (const std::string& field : fields) {
    if (!line.empty()) line += ' ';
    line += Field(field);
  }
  return line + '\n';
}

// The fields of a line without its LF; a field that is not hex reads as empty.
inline std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields;
  auto digit = [](char c) { return c >= 'a' ? c - 'a' + 10 : c - '0'; };
  while (!line.empty()) {
    const std::size_t end = std::min(line.find(' '), line.size());
    std::string_view text = line.substr(0, end);
    std::string field;
    if (text != "-") {
      for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        field += static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1]));
      }
    }
    fields.push_back(std::move(field));
    line.remove_prefix(std::min(end + 1, line.size()));
  }
  return fields;
}

}  // namespace corvel::test::wire
