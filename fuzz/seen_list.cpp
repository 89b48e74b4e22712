// The seen-message file as the check reads it: any bytes give a list of
// identifiers that the file written back holds unchanged, and the index
// answers as a scan of the list would.
#include "checker/seen_list.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"

namespace {

// A line's identifier: DLE (0x10) with r, n, 0 or DLE after it stands for
// CR, LF, NUL or DLE; any other byte is itself.
std::string Unescaped(std::string_view line) {
  std::string id;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const std::string_view pair = line.substr(i, 2);
    if (pair == "\x10r" || pair == "\x10n" ||
        pair ==
            "\x10"
            "0" ||
        pair == "\x10\x10") {
      id += pair[1] == 'r' ? '\r' : pair[1] == 'n' ? '\n' : pair[1] == '0' ? '\0' : pair[1];
      ++i;
    } else {
      id += line[i];
    }
  }
  return id;
}

// The identifiers by another road: every line end made an LF, then split.
std::vector<std::string> Lines(std::string_view content) {
  content = content.substr(0, content.find('\0'));
  std::string text;
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (content[i] == '\r') {
      text += '\n';
      if (i + 1 < content.size() && content[i + 1] == '\n') ++i;
    } else {
      text += content[i];
    }
  }
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(Unescaped(text.substr(start)));
      break;
    }
    lines.push_back(Unescaped(text.substr(start, end - start)));
    start = end + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  corvel::SeenList list;
  list.SetText(content);

  const std::vector<std::string> expected = Lines(content);
  FUZZ_CHECK(list.Count() == expected.size());
  for (std::size_t i = 0; i < list.Count(); ++i) {
    FUZZ_CHECK(list[i] == expected[i]);
    FUZZ_CHECK(list.Contains(list[i]));
  }

  // Written and read back: the same identifiers, and the same file again.
  const std::string text = list.Text();
  corvel::SeenList again;
  again.SetText(text);
  FUZZ_CHECK(again.Count() == list.Count());
  FUZZ_CHECK(again.Text() == text);

  // Any bytes at all as one identifier come back as they were.
  list.Append(std::string(content));
  again.SetText(list.Text());
  FUZZ_CHECK(again.Count() == list.Count() && again[again.Count() - 1] == content);

  // An identifier the list does not hold is not found.
  const std::string absent = "\x01" + std::string(content.substr(0, 8));
  bool held = false;
  for (std::size_t i = 0; i < list.Count() && !held; ++i) held = list[i] == absent;
  FUZZ_CHECK(list.Contains(absent) == held);
  return 0;
}
