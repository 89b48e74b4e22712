// The header capture on the lines of any TOP or RETR answer: no crash, the
// limits that keep a hostile server from growing the client without bound,
// and the fields that plain header lines give.
#include "pop3/header_capture.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"

namespace {

const std::string* Field(const corvel::Pop3HeaderFields& fields, std::string_view keyword) {
  if (keyword == "from") return &fields.from;
  if (keyword == "to") return &fields.to;
  if (keyword == "subject") return &fields.subject;
  if (keyword == "date") return &fields.date;
  if (keyword == "message-id") return &fields.messageId;
  if (keyword == "reply-to") return &fields.replyTo;
  if (keyword == "in-reply-to") return &fields.inReplyTo;
  if (keyword == "return-path") return &fields.returnPath;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte repeats the lines, so that endless folding is reached;
  // the rest are the lines as the framing delivers them (no LF, no 0 byte).
  const std::size_t repeat = 1 + data[0] % 64;
  std::vector<std::string_view> lines;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(std::string_view("\n\0", 2), start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }

  corvel::Pop3HeaderFields fields;
  fields.Reset();
  for (std::size_t round = 0; round < repeat && fields.inHeader; ++round) {
    for (std::string_view line : lines) {
      const bool ended = corvel::CaptureHeaderLine(fields, line);
      FUZZ_CHECK(ended == line.empty());
      FUZZ_CHECK(fields.inHeader == !ended);
      if (ended) break;
      FUZZ_CHECK(fields.data.size() <= corvel::kMaxHeaderData);
      for (char c : fields.keyword) FUZZ_CHECK(c < 'A' || c > 'Z');
      for (std::string_view name : {"from", "to", "subject", "date", "message-id", "reply-to",
                                    "in-reply-to", "return-path"}) {
        FUZZ_CHECK(Field(fields, name)->size() <= corvel::kMaxHeaderValue);
      }
      // A header line (not a continuation) sets its field to its data.
      const std::string* field = Field(fields, fields.keyword);
      if (field != nullptr && line[0] != ' ' && line[0] != '\t' &&
          line.find(':') != std::string_view::npos) {
        FUZZ_CHECK(*field == fields.data);
      }
    }
  }
  return 0;
}
