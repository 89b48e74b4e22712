#include "app/text/display_text.h"

#include <cctype>
#include <cstdint>

#include "codec/ascii.h"
#include "codec/header_decode.h"

namespace corvel {

namespace {

// Windows-1252 0x80..0x9F; 0 marks the unassigned bytes.
constexpr std::uint16_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Longest charset name taken from an encoded word (RFC 2047 words are at most
// 75 characters long).
constexpr std::size_t kMaxCharsetLength = 64;

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string DecodeQ(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += ' ';
    } else if (text[i] == '=' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
               HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Lenient: characters outside the alphabet are skipped, "=" ends the text.
std::string DecodeB(std::string_view text) {
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const int value = Base64Value(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

struct EncodedWord {
  std::string charset;  // without an RFC 2231 language suffix
  std::string bytes;    // decoded
  std::size_t end = 0;  // one past the closing "?="
};

// The encoded word that starts at `start` ("=?"), if it is one.
std::optional<EncodedWord> ParseWord(std::string_view text, std::size_t start) {
  if (text.compare(start, 2, "=?") != 0) return std::nullopt;
  const std::size_t q1 = text.find('?', start + 2);
  if (q1 == std::string_view::npos || q1 == start + 2 || q1 - start - 2 > kMaxCharsetLength ||
      q1 + 2 >= text.size() || text[q1 + 2] != '?') {
    return std::nullopt;
  }
  std::string_view charset = text.substr(start + 2, q1 - start - 2);
  for (char c : charset) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '/' || c == '=') return std::nullopt;
  }
  const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(text[q1 + 1])));
  if (encoding != 'Q' && encoding != 'B') return std::nullopt;
  const std::size_t end = text.find("?=", q1 + 3);
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view encoded = text.substr(q1 + 3, end - q1 - 3);
  charset = charset.substr(0, charset.find('*'));
  return EncodedWord{std::string(charset), encoding == 'Q' ? DecodeQ(encoded) : DecodeB(encoded),
                     end + 2};
}

bool SameCharset(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string WordText(const std::string& charset, const std::string& bytes) {
  std::optional<std::string> converted = CharsetToUtf8(charset, bytes);
  if (converted && IsValidUtf8(*converted)) return *std::move(converted);
  return DisplayText(bytes);
}

}  // namespace

std::string WithoutControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0) continue;
    if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c == 0xC2 && i + 1 < text.size() &&
               (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
      out += ' ';  // U+0080..U+009F
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      length = 2;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((length == 2 && code < 0x80) || (length == 3 && code < 0x800) ||
        (length == 4 && code < 0x10000) || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string Windows1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else if (c < 0xA0) {
      const std::uint16_t code = kHighControls[c - 0x80];
      AppendUtf8(out, code != 0 ? code : 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::string DisplayText(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return Windows1252ToUtf8(bytes);
}

std::string HeaderDisplayText(std::string_view raw) {
  if (raw.size() > kMaxDecodedHeaderLength) return WithoutControls(DisplayText(raw));
  std::string out;
  std::string plain;        // text between words, not yet converted
  std::string wordCharset;  // the words waiting to be joined and converted
  std::string wordBytes;
  bool haveWord = false;
  auto flushWord = [&] {
    if (haveWord) out += WordText(wordCharset, wordBytes);
    haveWord = false;
    wordBytes.clear();
  };
  std::size_t i = 0;
  while (i < raw.size()) {
    std::optional<EncodedWord> word;
    if (raw[i] == '=' && (word = ParseWord(raw, i))) {
      // White space between two words is not part of the text (RFC 2047).
      const bool adjacent = haveWord && plain.find_first_not_of(" \t\r\n") == std::string::npos;
      if (!adjacent) {
        flushWord();
        out += DisplayText(plain);
      } else if (!SameCharset(wordCharset, word->charset)) {
        flushWord();
      }
      plain.clear();
      if (!haveWord) wordCharset = word->charset;
      wordBytes += word->bytes;
      haveWord = true;
      i = word->end;
      continue;
    }
    if (haveWord && !std::isspace(static_cast<unsigned char>(raw[i]))) {
      flushWord();
      out += DisplayText(plain);
      plain.clear();
    }
    plain += raw[i++];
  }
  flushWord();
  out += DisplayText(plain);
  return WithoutControls(out);
}

std::array<std::string, kMailColumnCount> DisplayColumns(const MailRow& row) {
  std::array<std::string, kMailColumnCount> columns = row.Columns();
  for (std::string& column : columns) column = WithoutControls(DisplayText(column));
  if (!row.rawFrom.empty()) columns[1] = HeaderDisplayText(row.rawFrom);
  if (!row.rawSubject.empty()) columns[2] = HeaderDisplayText(row.rawSubject);
  return columns;
}

}  // namespace corvel
