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

// An encoded word (RFC 2047): "=?" charset "?" encoding "?" text "?=".
bool IsEncodedWord(std::string_view token) {
  if (token.size() < 8 || !token.starts_with("=?") || !token.ends_with("?=")) return false;
  const std::string_view inner = token.substr(2, token.size() - 4);
  const size_t charsetEnd = inner.find('?');
  if (charsetEnd == 0 || charsetEnd == std::string_view::npos || inner.size() < charsetEnd + 3 ||
      inner[charsetEnd + 2] != '?') {
    return false;
  }
  return inner.find('?', charsetEnd + 3) == std::string_view::npos;
}

// The last blank-separated piece of `text`, and the first one.
std::string_view LastToken(std::string_view text) {
  const size_t blank = text.find_last_of(" \t");
  return blank == std::string_view::npos ? text : text.substr(blank + 1);
}
std::string_view FirstToken(std::string_view text) {
  return text.substr(0, text.find_first_of(" \t"));
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
    // A folded continuation. Unfolding removes only the line break (RFC 5322
    // 3.2.2): the white space that begins the line stays in the value, unless
    // it separates two encoded words, where it is no part of the text (RFC
    // 2047 6.2).
    fields.data.assign(line.substr(1, kMaxHeaderData));
    if (std::string* field = FieldFor(fields, fields.keyword)) {
      std::string_view joined = line.substr(0, kMaxHeaderData + 1);
      const size_t text = joined.find_first_not_of(" \t");
      if (text != std::string_view::npos && IsEncodedWord(LastToken(*field)) &&
          IsEncodedWord(FirstToken(joined.substr(text)))) {
        joined.remove_prefix(text);
      }
      const size_t room = kMaxHeaderValue - std::min(kMaxHeaderValue, field->size());
      field->append(joined.substr(0, room));
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
