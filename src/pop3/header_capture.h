// Capture of eight well-known header fields (RFC 5322 From, To, Subject,
// Date, Message-ID, Reply-To, In-Reply-To, Return-Path) from the lines of a
// RETR or TOP answer, so that a caller can show sender, subject and date of a
// message without handling its lines. Values are kept raw: encoded words are
// not decoded and only the one space after the colon is dropped. Folded lines
// are joined with the white space that begins the continuation (RFC 5322
// 3.2.2), except between two encoded words (RFC 2047 6.2).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvel {

// The longest piece of a header line taken as data.
inline constexpr std::size_t kMaxHeaderData = 10000;
// The longest value a field grows to through folded continuation lines; a
// server sending endless continuations cannot make the client grow without
// bound.
inline constexpr std::size_t kMaxHeaderValue = 65536;

struct Pop3HeaderFields {
  std::string keyword;  // lower-cased name of the last header line
  std::string data;     // data of the last header or continuation line
  std::string from;
  std::string to;
  std::string subject;
  std::string date;
  std::string messageId;
  std::string replyTo;
  std::string inReplyTo;
  std::string returnPath;
  bool inHeader = false;

  // Empties every field and starts a new header part.
  void Reset();
};

// Examines one content line while fields.inHeader is set. Returns true when
// the line was the empty line that ends the header part.
bool CaptureHeaderLine(Pop3HeaderFields& fields, std::string_view line);

}  // namespace corvel
