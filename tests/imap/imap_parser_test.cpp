// The response parser: literals wherever a string may stand, fed in pieces
// of any size; the leniencies servers need; and the errors that end a
// connection whose framing cannot be trusted.
#include "imap/imap_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvel {
namespace {

using namespace std::string_literals;

struct Parsed {
  std::vector<ImapResponse> responses;
  std::string error;
};

// Feeds `bytes` in pieces of `piece` bytes, as a slow network would.
Parsed ParseAll(std::string_view bytes, std::size_t piece = 1 << 20,
                ImapResponseParser::Limits limits = {}) {
  ImapResponseParser parser(limits);
  Parsed parsed;
  while (!bytes.empty()) {
    std::string_view chunk = bytes.substr(0, piece);
    while (!chunk.empty()) {
      const std::size_t used = parser.Parse(chunk);
      chunk.remove_prefix(used);
      bytes.remove_prefix(used);
      if (parser.Failed()) {
        parsed.error = parser.Error();
        return parsed;
      }
      if (parser.HasResponse()) parsed.responses.push_back(parser.TakeResponse());
    }
  }
  return parsed;
}

// A value as text: atoms bare, strings quoted, NIL, lists in parentheses.
std::string Show(const ImapValue& value) {
  switch (value.kind) {
    case ImapValue::Kind::kNil:
      return "NIL";
    case ImapValue::Kind::kString:
      return value.truncated ? "<dropped>" : "\"" + value.text + "\"";
    case ImapValue::Kind::kList: {
      std::string text = "(";
      for (const ImapValue& item : value.items) text += (text.size() > 1 ? " " : "") + Show(item);
      return text + ")";
    }
    case ImapValue::Kind::kAtom:
      break;
  }
  return value.text;
}

std::string Show(const std::vector<ImapValue>& values) {
  ImapValue list;
  list.kind = ImapValue::Kind::kList;
  list.items = values;
  return Show(list);
}

TEST(ImapParser, TakesValuesOfEveryKindWhateverThePiecesTheyComeIn) {
  struct Case {
    std::string bytes;
    std::string name;
    std::string data;
  };
  const Case cases[] = {
      // A literal as the mailbox name, as the delimiter and inside a list.
      {"* LIST (\\HasNoChildren) {1}\r\n/ {9}\r\nLists/dev\r\n", "LIST",
       "((\\HasNoChildren) \"/\" \"Lists/dev\")"},
      {"* 3 FETCH (UID 7 BODY[HEADER.FIELDS (FROM SUBJECT)] {16}\r\nSubject: (hi\r\n\r\n "
       "RFC822.SIZE 99)\r\n",
       "FETCH",
       "((UID 7 BODY[HEADER.FIELDS (FROM SUBJECT)] \"Subject: (hi\r\n\r\n\" RFC822.SIZE 99))"},
      {"* STATUS \"a \\\"b\\\" \\\\c\" (MESSAGES 2)\r\n", "STATUS",
       "(\"a \"b\" \\c\" (MESSAGES 2))"},
      {"* LIST (\\Noselect) nil {0}\r\n\n", "LIST", "((\\Noselect) NIL \"\")"},
      {"* ESEARCH (TAG \"a5\") UID ALL 1:3,5\r\n", "ESEARCH", "((TAG \"a5\") UID ALL 1:3,5)"},
      {"* ID ~{3}\r\na\0b ~x\r\n"s, "ID", "(\"a\0b\" ~x)"s},
      {"* FLAGS ((((\\Seen))))   \r\n", "FLAGS", "(((((\\Seen)))))"},
  };
  for (const Case& c : cases) {
    const std::string& bytes = c.bytes;
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, bytes.size()}) {
      const Parsed parsed = ParseAll(bytes, piece);
      ASSERT_EQ(parsed.error, "") << c.bytes;
      ASSERT_EQ(parsed.responses.size(), 1u) << c.bytes;
      EXPECT_EQ(parsed.responses[0].name, c.name);
      EXPECT_EQ(Show(parsed.responses[0].data), c.data) << c.bytes << " in " << piece;
    }
  }
}

TEST(ImapParser, KeepsTheTextOfStatusResponsesUnparsed) {
  const Parsed parsed = ParseAll(
      "* OK [CAPABILITY IMAP4rev1 IDLE] ready (really \"\r\n"
      "\r\n"
      "a1 no [AUTHENTICATIONFAILED] {5} bad\n"
      "+ \r\n"
      "+ idling\r\n"
      "* 22 EXISTS\r\n"
      "* BYE\r\n");
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.responses.size(), 6u);
  const ImapResponse& greeting = parsed.responses[0];
  EXPECT_EQ(greeting.kind, ImapResponse::Kind::kUntagged);
  EXPECT_EQ(greeting.code, "CAPABILITY");
  EXPECT_EQ(greeting.codeData, "IMAP4rev1 IDLE");
  EXPECT_EQ(greeting.text, "ready (really \"");
  const ImapResponse& refusal = parsed.responses[1];
  EXPECT_EQ(refusal.kind, ImapResponse::Kind::kTagged);
  EXPECT_EQ(refusal.tag, "a1");
  EXPECT_EQ(refusal.name, "NO");
  EXPECT_EQ(refusal.code, "AUTHENTICATIONFAILED");
  EXPECT_EQ(refusal.text, "{5} bad");
  EXPECT_EQ(parsed.responses[2].kind, ImapResponse::Kind::kContinuation);
  EXPECT_EQ(parsed.responses[2].text, "");
  EXPECT_EQ(parsed.responses[3].text, "idling");
  EXPECT_EQ(parsed.responses[4].number, 22u);
  EXPECT_EQ(parsed.responses[4].name, "EXISTS");
  EXPECT_EQ(parsed.responses[5].name, "BYE");
}

TEST(ImapParser, DropsALiteralBeyondTheLimitAndGoesOn) {
  ImapResponseParser::Limits limits;
  limits.maxLiteral = 4;
  const Parsed parsed =
      ParseAll("* 1 FETCH (BODY[] {5}\r\n12345 UID 9)\r\n* 2 EXISTS\r\n", 3, limits);
  ASSERT_EQ(parsed.error, "");
  ASSERT_EQ(parsed.responses.size(), 2u);
  EXPECT_EQ(Show(parsed.responses[0].data), "((BODY[] <dropped> UID 9))");
  EXPECT_EQ(parsed.responses[0].trace, "* 1 FETCH (BODY[] {5} UID 9)");
  EXPECT_EQ(parsed.responses[1].name, "EXISTS");
}

TEST(ImapParser, RefusesWhatWouldLoseTheFraming) {
  ImapResponseParser::Limits limits;
  limits.maxLineBytes = 64;
  limits.maxValues = 5;
  limits.maxDepth = 3;
  limits.maxSkippedLiteral = 100;
  const struct {
    std::string bytes;
    const char* error;
  } cases[] = {
      {"* LIST (a b\r\n", "a line ended inside a list"},
      {"* LIST a)\r\n", "a \")\" without its \"(\""},
      {"* X \"open\r\n", "a line ended inside a quoted string"},
      {"* X ((((a))))\r\n", "lists nested deeper than 3"},
      {"* X 1 2 3 4 5 6\r\n", "a response of more than 5 values"},
      {"* X {101}\r\n", "a literal of 101 bytes"},
      {"* X {12a}\r\n", "a malformed literal length"},
      {"* X {5} \r\n", "a literal's length not followed by a line end"},
      {"a1\r\n", "a response without a name"},
      {"* " + std::string(70, 'x') + "\r\n", "a response longer than 64 bytes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseAll(c.bytes, 1 << 20, limits).error, c.error) << c.bytes;
  }
}

}  // namespace
}  // namespace corvel
