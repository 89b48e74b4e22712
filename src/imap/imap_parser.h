// The framing of the IMAP client (RFC 3501 and RFC 9051, section 9's
// response grammar): a resumable parser that takes the server's bytes as
// they come, in pieces of any size, and turns them into whole responses.
// Nothing here knows what a response means; the engine does.
//
// A response is one line, except that a literal ({n} or {n+}, and ~{n} for
// binary data) carries n bytes of any value, line ends included, after its
// own line end, and the line goes on behind them. Literals, quoted strings
// and atoms are all values; a literal may stand anywhere a string may. Lists
// nest. Status responses (OK, NO, BAD, PREAUTH, BYE) keep their bracketed
// response code and their text apart and unparsed: the text is free text in
// which parentheses and quotes mean nothing.
//
// The parser is lenient where servers are: a bare LF ends a line as CR LF
// does, extra blanks between values are skipped, empty lines are skipped,
// NIL is recognised in any letter case, and an atom may hold a bracketed
// section with blanks and parentheses in it (BODY[HEADER.FIELDS (FROM)]).
// It is strict where leniency would lose the framing: a line ending inside
// a list or a quoted string, a stray ")", nesting beyond the limit, or a
// response beyond its limits is an error, after which the parser takes
// nothing more (the connection can no longer be trusted to be in step).
//
// A literal longer than Limits::maxLiteral is not kept: its bytes are
// counted off as they come and the value is marked `truncated`, so a single
// oversized header cannot cost more than the time to read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvel {

struct ImapValue {
  enum class Kind : std::uint8_t { kAtom, kString, kNil, kList };

  Kind kind = Kind::kAtom;
  // Literal values, quoted strings and atoms, as received.
  std::string text;
  std::vector<ImapValue> items;  // the values of a list
  // A literal beyond the limit: its bytes were read and dropped.
  bool truncated = false;

  [[nodiscard]] bool IsList() const { return kind == Kind::kList; }
  [[nodiscard]] bool IsNil() const { return kind == Kind::kNil; }
  // An atom equal to `name` when ASCII letter case is ignored.
  [[nodiscard]] bool IsAtom(std::string_view name) const;
  // An atom of decimal digits within 64 bits.
  [[nodiscard]] std::optional<std::uint64_t> Number() const;
  // An atom or a string (RFC 3501's astring); null for NIL and lists.
  [[nodiscard]] const std::string* Text() const;
};

struct ImapResponse {
  enum class Kind : std::uint8_t { kUntagged, kTagged, kContinuation };

  Kind kind = Kind::kUntagged;
  std::string tag;  // tagged responses only
  // "* 12 EXISTS", "* 3 FETCH (...)": the number before the name.
  std::optional<std::uint32_t> number;
  // The response's name in capitals: OK, NO, BAD, PREAUTH, BYE for status
  // responses; EXISTS, FETCH, CAPABILITY, LIST, SEARCH ... for data.
  std::string name;
  // Status responses: the response code's first word in capitals
  // ("UIDVALIDITY") and the rest of it as sent ("3857529045"); and the
  // human-readable text. A continuation's text is everything after "+ ".
  std::string code;
  std::string codeData;
  std::string text;
  // Data responses: the values after the name.
  std::vector<ImapValue> data;
  // The response as received with the contents of its literals left out
  // (their {n} markers stay), cut short for a trace line.
  std::string trace;

  [[nodiscard]] bool IsStatus() const;
};

class ImapResponseParser {
 public:
  struct Limits {
    // Bytes of one response outside its literals: room for the identifiers
    // of a large mailbox in one SEARCH answer.
    std::size_t maxLineBytes = 16u << 20;
    // A literal kept whole; longer ones are dropped as they come (truncated).
    std::size_t maxLiteral = 1u << 20;
    // A literal so long it is taken for a broken or hostile server.
    std::uint64_t maxSkippedLiteral = 64u << 20;
    // Values in one response, lists and their items included.
    std::size_t maxValues = 1u << 20;
    // Lists inside lists.
    std::size_t maxDepth = 32;
  };

  ImapResponseParser() = default;
  explicit ImapResponseParser(const Limits& limits) : limits_(limits) {}

  // Takes bytes up to the end of the next complete response, or all of
  // them when none completes; returns how many it took. Once a response is
  // complete it takes nothing more until TakeResponse(). After an error it
  // takes nothing.
  std::size_t Parse(std::string_view bytes);

  [[nodiscard]] bool HasResponse() const { return complete_; }
  // The complete response; the parser then begins the next one.
  [[nodiscard]] ImapResponse TakeResponse();

  [[nodiscard]] bool Failed() const { return !error_.empty(); }
  // Why the bytes are not an IMAP response stream.
  [[nodiscard]] const std::string& Error() const { return error_; }

  // Forgets everything, the error included (a new connection).
  void Reset();

 private:
  enum class State : std::uint8_t {
    kLineStart,
    kTag,
    kWord,
    kRespTextStart,
    kCode,
    kText,
    kValues,
    kAtom,
    kQuoted,
    kQuotedEscape,
    kLiteralTilde,
    kLiteralLength,
    kLiteralLineEnd,
    kLiteralData,
  };

  // Takes one byte outside a literal's data.
  void Step(char c);
  void Fail(std::string why);
  // The end of the tag, of a word before the values, of the line.
  void EndTag(char c);
  void EndWord(char c);
  void EndLine();
  // Adds a value to the innermost open list, or to the response.
  ImapValue* AddValue(ImapValue value);
  void EndAtom();
  void BeginLiteral();
  void EndLiteral();

  Limits limits_;
  State state_ = State::kLineStart;
  ImapResponse response_;
  bool complete_ = false;
  std::string error_;

  std::string token_;
  // The quoted string or literal being filled.
  ImapValue* string_ = nullptr;
  // The lists being filled, innermost last; empty at the top level.
  std::vector<std::vector<ImapValue>*> open_;
  std::size_t lineBytes_ = 0;
  std::size_t values_ = 0;
  std::size_t bracketDepth_ = 0;
  std::uint64_t literalLeft_ = 0;
  bool literalKept_ = true;
  bool statusResponse_ = false;
};

}  // namespace corvel
