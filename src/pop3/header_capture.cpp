#include "pop3/header_capture.h"

#include <algorithm>

#include "pop3/pop3_parse.h"

namespace corvel {
namespace {

std::string* FieldFor(Pop3HeaderFields& fields, std::string_view keyword) {
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

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

void Pop3HeaderFields::Reset() {
  keyword.clear();
  data.clear();
  from.clear();
  to.clear();
  subject.clear();
  date.clear();
  messageId.clear();
  replyTo.clear();
  inReplyTo.clear();
  returnPath.clear();
  inHeader = true;
}

bool CaptureHeaderLine(Pop3HeaderFields& fields, std::string_view line) {
  if (line.empty()) {
    fields.inHeader = false;
    return true;
  }
  if (line[0] == ' ' || line[0] == '\t') {
    // A folded continuation: the folding character goes, the rest is joined
    // to the field without a separator.
    fields.data.assign(line.substr(1, kMaxHeaderData));
    if (std::string* field = FieldFor(fields, fields.keyword)) {
      const size_t room = kMaxHeaderValue - std::min(kMaxHeaderValue, field->size());
      field->append(fields.data, 0, std::min(room, fields.data.size()));
    }
    return false;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;  // not a header line
  fields.keyword = AsciiLower(TrimControl(line.substr(0, colon)));
  size_t start = colon + 1;
  if (start < line.size() && line[start] == ' ') ++start;
  fields.data.assign(line.substr(start, kMaxHeaderData));
  if (std::string* field = FieldFor(fields, fields.keyword)) *field = fields.data;
  return false;
}

}  // namespace corvel
