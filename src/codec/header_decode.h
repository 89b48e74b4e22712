// Decoding of MIME encoded words (RFC 2047) in the sender and subject that the
// new-mail list shows. Narrower and more lenient than the RFC: only charsets
// whose name begins with ISO or WINDOWS are recognised, Q and B text is taken
// without validation (a bad hexadecimal pair in Q text excepted), and the one
// conversion of character sets is ISO-2022-JP to Shift_JIS; every other
// charset is inserted as its raw bytes, to be shown in the system code page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvel {

// Values longer than this many bytes are not searched for encoded words; only
// their zero bytes are removed. Real header values are a few hundred bytes;
// the limit keeps a hostile server's endlessly folded header from costing
// more than a moment of work (the decoding time grows with the square of the
// length when nearly every byte belongs to a word).
inline constexpr size_t kMaxDecodedHeaderLength = 65536;

// Replaces every recognised encoded word of `value` by its decoded bytes and
// removes all zero bytes. Words with an "=?ISO" prefix (any case) are decoded
// first, left to right, each time rescanning from one byte into the decoded
// bytes (so text a word decodes to is examined too; from the word's own place
// when it decoded to nothing); then the words with an "=?WINDOWS" prefix, the
// "=?ISO" search running again after each of them. Anything that is not a
// complete word is left as it is. Throws ConvertException when Q text holds
// "=" followed by two characters that are not both hexadecimal digits.
[[nodiscard]] std::string DecodeHeaderValue(std::string_view value);

// Converts ISO-2022-JP bytes to Shift_JIS: ESC "$B" starts double-byte JIS X
// 0208 text, ESC "(B" returns to single bytes; every escape sequence (also
// ESC "(J") is dropped, and a lone last byte of double-byte text is dropped.
[[nodiscard]] std::string JisToShiftJis(std::string_view jis);

// The 1-based position of the first occurrence of `needle` in `text` that
// begins at or after the 1-based position `start` (0 counts as 1); 0 when there
// is none, when `start` lies past the end, or when `needle` is empty.
// `ignoreCase` compares ASCII letters without regard to case.
[[nodiscard]] size_t PosFrom(std::string_view needle, std::string_view text, size_t start,
                             bool ignoreCase);

}  // namespace corvel
