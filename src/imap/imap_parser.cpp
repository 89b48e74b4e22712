#include "imap/imap_parser.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "codec/ascii.h"

namespace corvel {
namespace {

// A trace line shows the beginning of a response; its literals are left out
// anyway.
constexpr std::size_t kMaxTrace = 300;
// Tags are the client's own short words; the server's "*" and "+" are one
// character.
constexpr std::size_t kMaxTag = 64;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::uint64_t> ParseNumber(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool IsStatusName(std::string_view name) {
  return name == "OK" || name == "NO" || name == "BAD" || name == "PREAUTH" || name == "BYE";
}

}  // namespace

bool ImapValue::IsAtom(std::string_view name) const {
  return kind == Kind::kAtom && EqualsIgnoreAsciiCase(text, name);
}

std::optional<std::uint64_t> ImapValue::Number() const {
  if (kind != Kind::kAtom) return std::nullopt;
  return ParseNumber(text);
}

const std::string* ImapValue::Text() const {
  return kind == Kind::kAtom || kind == Kind::kString ? &text : nullptr;
}

bool ImapResponse::IsStatus() const {
  return kind == Kind::kTagged || (kind == Kind::kUntagged && IsStatusName(name));
}

void ImapResponseParser::Reset() {
  state_ = State::kLineStart;
  response_ = ImapResponse{};
  complete_ = false;
  error_.clear();
  token_.clear();
  string_ = nullptr;
  open_.clear();
  lineBytes_ = 0;
  values_ = 0;
  bracketDepth_ = 0;
  literalLeft_ = 0;
  literalKept_ = true;
  statusResponse_ = false;
}

ImapResponse ImapResponseParser::TakeResponse() {
  ImapResponse taken = std::move(response_);
  response_ = ImapResponse{};
  complete_ = false;
  token_.clear();
  string_ = nullptr;
  open_.clear();
  lineBytes_ = 0;
  values_ = 0;
  bracketDepth_ = 0;
  statusResponse_ = false;
  state_ = State::kLineStart;
  return taken;
}

void ImapResponseParser::Fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
}

std::size_t ImapResponseParser::Parse(std::string_view bytes) {
  std::size_t used = 0;
  while (used < bytes.size() && !complete_ && error_.empty()) {
    if (state_ == State::kLiteralData) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(literalLeft_, bytes.size() - used));
      if (literalKept_) string_->text.append(bytes.substr(used, take));
      literalLeft_ -= take;
      used += take;
      if (literalLeft_ == 0) EndLiteral();
      continue;
    }
    const char c = bytes[used++];
    if (++lineBytes_ > limits_.maxLineBytes) {
      Fail("a response longer than " + std::to_string(limits_.maxLineBytes) + " bytes");
      break;
    }
    if (c != '\r' && c != '\n' && response_.trace.size() < kMaxTrace) response_.trace += c;
    Step(c);
  }
  return used;
}

void ImapResponseParser::Step(char c) {
  switch (state_) {
    case State::kLineStart:
      // Blank lines between responses carry nothing.
      if (c == '\r' || c == '\n') return;
      token_.assign(1, c);
      state_ = State::kTag;
      return;
    case State::kTag:
      if (c == ' ' || c == '\n') return EndTag(c);
      if (c == '\r') return;
      if (token_.size() >= kMaxTag) return Fail("a tag longer than " + std::to_string(kMaxTag));
      token_ += c;
      return;
    case State::kWord:
      if (c == ' ' || c == '\n') return EndWord(c);
      if (c == '\r') return;
      token_ += c;
      return;
    case State::kRespTextStart:
      if (c == '[') {
        token_.clear();
        state_ = State::kCode;
        return;
      }
      state_ = State::kText;
      return Step(c);
    case State::kCode:
      if (c == ']' || c == '\n') {
        const std::size_t blank = token_.find(' ');
        response_.code = UpperAscii(std::string_view(token_).substr(0, blank));
        if (blank != std::string::npos) response_.codeData = token_.substr(blank + 1);
        token_.clear();
        state_ = State::kText;
        if (c == '\n') EndLine();
        return;
      }
      if (c != '\r') token_ += c;
      return;
    case State::kText:
      if (c == '\n') return EndLine();
      // The one blank between a response code and the text is no text.
      if (c == ' ' && response_.text.empty() && !response_.code.empty()) return;
      if (c != '\r') response_.text += c;
      return;
    case State::kValues:
      switch (c) {
        case ' ':
        case '\r':
          return;
        case '\n':
          if (!open_.empty()) return Fail("a line ended inside a list");
          return EndLine();
        case '(': {
          if (open_.size() >= limits_.maxDepth) {
            return Fail("lists nested deeper than " + std::to_string(limits_.maxDepth));
          }
          ImapValue list;
          list.kind = ImapValue::Kind::kList;
          if (ImapValue* added = AddValue(std::move(list))) open_.push_back(&added->items);
          return;
        }
        case ')':
          if (open_.empty()) return Fail("a \")\" without its \"(\"");
          open_.pop_back();
          return;
        case '"': {
          ImapValue quoted;
          quoted.kind = ImapValue::Kind::kString;
          string_ = AddValue(std::move(quoted));
          state_ = State::kQuoted;
          return;
        }
        case '{':
          token_.clear();
          state_ = State::kLiteralLength;
          return;
        case '~':
          state_ = State::kLiteralTilde;
          return;
        default:
          token_.assign(1, c);
          bracketDepth_ = c == '[' ? 1 : 0;
          state_ = State::kAtom;
          return;
      }
    case State::kAtom:
      if (bracketDepth_ > 0) {
        // Inside a section (BODY[HEADER.FIELDS (FROM DATE)]) blanks and
        // parentheses belong to the atom.
        if (c == '\n') return Fail("a line ended inside \"[\"");
        if (c == '\r') return;
        if (c == '[') ++bracketDepth_;
        if (c == ']') --bracketDepth_;
        token_ += c;
        return;
      }
      if (c == ' ' || c == '(' || c == ')' || c == '\r' || c == '\n') {
        EndAtom();
        state_ = State::kValues;
        return Step(c);
      }
      if (c == '[') ++bracketDepth_;
      token_ += c;
      return;
    case State::kQuoted:
      if (c == '"') {
        string_ = nullptr;
        state_ = State::kValues;
        return;
      }
      if (c == '\\') {
        state_ = State::kQuotedEscape;
        return;
      }
      if (c == '\r' || c == '\n') return Fail("a line ended inside a quoted string");
      string_->text += c;
      return;
    case State::kQuotedEscape:
      if (c == '\r' || c == '\n') return Fail("a line ended inside a quoted string");
      string_->text += c;
      state_ = State::kQuoted;
      return;
    case State::kLiteralTilde:
      if (c == '{') {
        token_.clear();
        state_ = State::kLiteralLength;
        return;
      }
      // Only "~{" begins a literal; any other "~" begins an atom.
      token_ = "~";
      bracketDepth_ = 0;
      state_ = State::kAtom;
      return Step(c);
    case State::kLiteralLength:
      if (IsDigit(c)) {
        if (token_.size() >= 20) return Fail("a literal length of more than 20 digits");
        token_ += c;
        return;
      }
      if (c == '+' && !token_.empty()) return;
      if (c == '}') {
        const std::optional<std::uint64_t> length = ParseNumber(token_);
        if (!length) return Fail("a literal without its length");
        if (*length > limits_.maxSkippedLiteral) {
          return Fail("a literal of " + token_ + " bytes");
        }
        literalLeft_ = *length;
        literalKept_ = *length <= limits_.maxLiteral;
        token_.clear();
        state_ = State::kLiteralLineEnd;
        return;
      }
      return Fail("a malformed literal length");
    case State::kLiteralLineEnd:
      if (c == '\r') return;
      if (c != '\n') return Fail("a literal's length not followed by a line end");
      return BeginLiteral();
    case State::kLiteralData:
      return;  // taken by Parse
  }
}

void ImapResponseParser::EndTag(char c) {
  if (token_[0] == '+') {
    // A continuation request; its text is free text ("+ idling", a SASL
    // challenge, or nothing at all).
    response_.kind = ImapResponse::Kind::kContinuation;
    response_.text = token_.substr(1);
    token_.clear();
    state_ = State::kText;
    if (c == '\n') EndLine();
    return;
  }
  if (token_ == "*") {
    response_.kind = ImapResponse::Kind::kUntagged;
  } else {
    response_.kind = ImapResponse::Kind::kTagged;
    response_.tag = token_;
  }
  token_.clear();
  if (c == '\n') return Fail("a response without a name");
  state_ = State::kWord;
}

void ImapResponseParser::EndWord(char c) {
  if (token_.empty()) {
    // Blanks doubled before the name are not the name.
    if (c == '\n') return Fail("a response without a name");
    return;
  }
  if (response_.kind == ImapResponse::Kind::kUntagged && !response_.number &&
      response_.name.empty() && token_.size() <= 10) {
    const std::optional<std::uint64_t> number = ParseNumber(token_);
    if (number && *number <= std::numeric_limits<std::uint32_t>::max()) {
      response_.number = static_cast<std::uint32_t>(*number);
      token_.clear();
      if (c == '\n') Fail("a response number without a name");
      return;
    }
  }
  response_.name = UpperAscii(token_);
  token_.clear();
  // A tagged response is a status response whatever its word.
  statusResponse_ = response_.kind == ImapResponse::Kind::kTagged || IsStatusName(response_.name);
  if (c == '\n') return EndLine();
  state_ = statusResponse_ ? State::kRespTextStart : State::kValues;
}

void ImapResponseParser::EndLine() {
  complete_ = true;
  state_ = State::kLineStart;
}

ImapValue* ImapResponseParser::AddValue(ImapValue value) {
  if (++values_ > limits_.maxValues) {
    Fail("a response of more than " + std::to_string(limits_.maxValues) + " values");
    return nullptr;
  }
  std::vector<ImapValue>& list = open_.empty() ? response_.data : *open_.back();
  list.push_back(std::move(value));
  return &list.back();
}

void ImapResponseParser::EndAtom() {
  ImapValue atom;
  if (EqualsIgnoreAsciiCase(token_, "NIL")) {
    atom.kind = ImapValue::Kind::kNil;
  } else {
    atom.text = std::move(token_);
  }
  token_.clear();
  AddValue(std::move(atom));
}

void ImapResponseParser::BeginLiteral() {
  ImapValue literal;
  literal.kind = ImapValue::Kind::kString;
  literal.truncated = !literalKept_;
  string_ = AddValue(std::move(literal));
  if (string_ == nullptr) return;
  if (literalKept_) string_->text.reserve(static_cast<std::size_t>(literalLeft_));
  if (literalLeft_ == 0) return EndLiteral();
  state_ = State::kLiteralData;
}

void ImapResponseParser::EndLiteral() {
  string_ = nullptr;
  state_ = State::kValues;
}

}  // namespace corvel
