#include "codec/header_decode.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "codec/ascii.h"
#include "codec/exception.h"

namespace corvel {
namespace {

constexpr std::string_view kIsoPrefix = "=?ISO";
constexpr std::string_view kWindowsPrefix = "=?WINDOWS";

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = UpperAscii(c);
  return upper;
}

// Q text: "_" is a blank, "=XY" the byte with hexadecimal value XY, anything
// else (an "=" with fewer than two characters behind it included) stays. The
// end is tested before each character is taken, so an empty text (a word such
// as "=?ISO-8859-1?Q??=") decodes to nothing and the word simply disappears,
// instead of the walk running on past the word's "?=".
// Two characters after "=" that are not both hexadecimal digits make the whole
// value fail with the conversion error the check cycle reports.
std::string DecodeQ(std::string_view encoded) {
  std::string decoded;
  decoded.reserve(encoded.size());
  size_t i = 0;
  while (i < encoded.size()) {
    const char c = encoded[i];
    if (c == '_') {
      decoded.push_back(' ');
      ++i;
    } else if (c == '=' && encoded.size() - i > 2) {
      const int high = HexDigitValue(encoded[i + 1]);
      const int low = HexDigitValue(encoded[i + 2]);
      if (high < 0 || low < 0) {
        throw ConvertException("'$" + std::string(encoded.substr(i + 1, 2)) +
                               "' is not a valid integer value");
      }
      decoded.push_back(static_cast<char>(high * 16 + low));
      i += 3;
    } else {
      decoded.push_back(c);
      ++i;
    }
  }
  return decoded;
}

uint8_t Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;  // "=", "?", blanks and everything else
}

// B text, given with the "?=" behind it: every full group of four characters
// gives three bytes, padding included (its zero bytes are removed at the very
// end); a shorter rest is ignored.
std::string DecodeB(std::string_view encodedAndTerminator) {
  std::string decoded;
  decoded.reserve(encodedAndTerminator.size() / 4 * 3);
  for (size_t i = 0; encodedAndTerminator.size() - i >= 4; i += 4) {
    const unsigned x1 = Base64Value(encodedAndTerminator[i]);
    const unsigned x2 = Base64Value(encodedAndTerminator[i + 1]);
    const unsigned x3 = Base64Value(encodedAndTerminator[i + 2]);
    const unsigned x4 = Base64Value(encodedAndTerminator[i + 3]);
    decoded.push_back(static_cast<char>((x1 * 4 + x2 / 16) & 0xFF));
    decoded.push_back(static_cast<char>((x2 * 16 + x3 / 4) & 0xFF));
    decoded.push_back(static_cast<char>((x3 * 64 + x4) & 0xFF));
  }
  return decoded;
}

// 1-based positions of the three delimiters behind a candidate word at `a`:
// the "?" after the charset, the "?" after the encoding letter and the start
// of the closing "?=".
struct WordDelimiters {
  size_t charsetEnd;
  size_t encodingEnd;
  size_t terminator;
};

std::optional<WordDelimiters> FindDelimiters(std::string_view upper, size_t a) {
  const size_t charsetEnd = PosFrom("?", upper, a + 5, false);
  if (charsetEnd == 0) return std::nullopt;
  const size_t encodingEnd = PosFrom("?", upper, charsetEnd + 1, false);
  if (encodingEnd == 0) return std::nullopt;
  const size_t terminator = PosFrom("?=", upper, encodingEnd + 1, false);
  if (terminator == 0) return std::nullopt;
  return WordDelimiters{charsetEnd, encodingEnd, terminator};
}

// Decodes the word at the 1-based position `a` of `text`.
std::string DecodeWord(std::string_view text, size_t a, const WordDelimiters& word) {
  // In 0-based offsets: the charset runs from a + 1 to the first "?", the
  // encoding letter follows that "?", the text follows the second "?".
  const std::string_view charset = text.substr(a + 1, word.charsetEnd - a - 2);
  const char encoding = text[word.charsetEnd];
  std::string decoded;
  if (encoding == 'Q' || encoding == 'q') {
    decoded = DecodeQ(text.substr(word.encodingEnd, word.terminator - 1 - word.encodingEnd));
  } else {
    decoded = DecodeB(text.substr(word.encodingEnd, word.terminator + 1 - word.encodingEnd));
  }
  if (EqualsIgnoreAsciiCase(charset, "ISO-2022-JP")) decoded = JisToShiftJis(decoded);
  return decoded;
}

// The scan over the words. Positions are 1-based, as PosFrom gives them; all
// searches run on an upper-cased copy kept in step with the text.
//
// After a replacement the "=?ISO" search resumes one byte into the decoded
// bytes, so that a word never finds itself again at the same place while the
// rest of what it decoded to is examined. A word that decodes to nothing
// leaves no bytes there: the text that followed it, possibly the next word,
// now begins at its position, so the search resumes at that position instead
// of skipping the next word's first byte (and with it the whole word).
//
// Every replacement makes the text shorter (a word is at least nine bytes
// longer than its Q text, and B text shrinks by a quarter), so the words
// decoded, rescans of decoded text included, are bounded by the length. What
// could repeat for ever is the examination of candidates that are not words,
// because the "=?WINDOWS" search starts again at position 1. A candidate that
// lacks one of its three delimiters proves that no complete word starts
// anywhere after it (such a word would supply the missing delimiters), and
// the text does not change while candidates fail. Hence:
// - an "=?ISO" candidate that is not a word ends the "=?ISO" search at once,
//   since every later "=?ISO" candidate would fail as well;
// - an "=?WINDOWS" candidate that is not a word ends the scan, since nothing
//   after it can be decoded and the search from position 1 would only find it
//   again. Every word the search order reaches is thus still decoded, in the
//   same order, and the loop makes at most two failed examinations between
//   two replacements.
void DecodeWords(std::string& text) {
  std::string upper = UpperAscii(text);
  bool isoCandidate = true;
  size_t a = PosFrom(kIsoPrefix, upper, 1, false);
  if (a == 0) {
    isoCandidate = false;
    a = PosFrom(kWindowsPrefix, upper, 1, false);
  }
  while (a > 0) {
    const std::optional<WordDelimiters> word = FindDelimiters(upper, a);
    if (!word) {
      if (!isoCandidate) return;
      isoCandidate = false;
      a = PosFrom(kWindowsPrefix, upper, 1, false);
      continue;
    }
    const std::string decoded = DecodeWord(text, a, *word);
    const size_t wordLength = word->terminator + 2 - a;
    text.replace(a - 1, wordLength, decoded);
    upper.replace(a - 1, wordLength, UpperAscii(decoded));

    isoCandidate = true;
    size_t next = PosFrom(kIsoPrefix, upper, decoded.empty() ? a : a + 1, false);
    if (next == 0) {
      isoCandidate = false;
      next = PosFrom(kWindowsPrefix, upper, 1, false);
    }
    a = next;
  }
}

}  // namespace

size_t PosFrom(std::string_view needle, std::string_view text, size_t start, bool ignoreCase) {
  if (start == 0) start = 1;
  if (needle.empty() || start > text.size() || needle.size() > text.size() - (start - 1)) {
    return 0;
  }
  if (!ignoreCase) {
    const size_t found = text.find(needle, start - 1);
    return found == std::string_view::npos ? 0 : found + 1;
  }
  for (size_t i = start - 1; i + needle.size() <= text.size(); ++i) {
    if (EqualsIgnoreAsciiCase(text.substr(i, needle.size()), needle)) return i + 1;
  }
  return 0;
}

std::string JisToShiftJis(std::string_view jis) {
  constexpr char kEscape = 27;
  std::string sjis;
  sjis.reserve(jis.size());
  bool doubleByte = false;
  size_t i = 0;
  while (i < jis.size()) {
    if (jis[i] == kEscape) {
      if (jis.size() - i > 2) {
        const std::string_view designation = jis.substr(i + 1, 2);
        if (designation == "$B") {
          doubleByte = true;
        } else if (designation == "(B") {
          doubleByte = false;
        }
        i += 3;
      } else {
        ++i;
      }
    } else if (!doubleByte) {
      sjis.push_back(jis[i]);
      ++i;
    } else if (jis.size() - i >= 2) {
      // JIS X 0208 row/cell pair to Shift_JIS, all in byte arithmetic.
      const auto c1 = static_cast<uint8_t>(jis[i]);
      const auto c2 = static_cast<uint8_t>(jis[i + 1]);
      const auto half = static_cast<uint8_t>(static_cast<uint8_t>(c1 - 1) / 2);
      const auto s1 = static_cast<uint8_t>(half + (c1 < 0x5F ? 0x71 : 0xB1));
      uint8_t s2 = 0;
      if (c1 % 2 == 1) {
        s2 = static_cast<uint8_t>(c2 + (c2 < 0x60 ? 0x1F : 0x20));
      } else {
        s2 = static_cast<uint8_t>(c2 + 0x7E);
      }
      sjis.push_back(static_cast<char>(s1));
      sjis.push_back(static_cast<char>(s2));
      i += 2;
    } else {
      ++i;  // a lone last byte of a pair carries no character
    }
  }
  return sjis;
}

std::string DecodeHeaderValue(std::string_view value) {
  std::string text(value);
  if (text.size() <= kMaxDecodedHeaderLength) DecodeWords(text);
  std::erase(text, '\0');
  return text;
}

}  // namespace corvel
