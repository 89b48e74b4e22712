// Text for display. The program keeps its strings as bytes: header values as
// the decoding of encoded words leaves them (in the character set the mail
// named, which the bytes no longer say), account names as typed, log lines
// built from both. A screen wants Unicode. These functions turn such bytes
// into valid UTF-8 for every front-end — the desktop programs and the
// terminal — and never fail on bad bytes.
//
// UTF-8 encoded words, which the program's decoding leaves as they came, are
// decoded here for display, as are the words of every other character set
// the platform knows (RFC 2047): a person should never be shown
// "=?UTF-8?B?...?=".
//
// The conversion of a named character set is the platform's
// (CharsetToUtf8, in posix/ and win32/); the rest is shared.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "checker/new_mail_list.h"

namespace corvel {

[[nodiscard]] bool IsValidUtf8(std::string_view text);

// Windows-1252 bytes as UTF-8 (the five unassigned bytes become U+FFFD).
[[nodiscard]] std::string Windows1252ToUtf8(std::string_view text);

// The program's own bytes (log lines, account names, balloon texts, decoded
// values whose character set is no longer known) as UTF-8: text that is valid
// UTF-8 already stays as it is, anything else is read as Windows-1252.
[[nodiscard]] std::string DisplayText(std::string_view bytes);

// Valid UTF-8 `text` without control characters: zero bytes are removed,
// every other C0 control (tab and line breaks too), DEL and every C1 control
// (U+0080..U+009F) becomes a blank. What a server sent can then neither
// break a list cell, a column or a log line, nor drive a terminal.
[[nodiscard]] std::string WithoutControls(std::string_view text);

// A header value as the server sent it (From, Subject), for display: every
// encoded word of a character set the platform knows is decoded and
// converted, white space between two adjacent words is dropped, adjacent
// words in the same character set are joined before conversion (a character
// split across two words survives), and the text around the words goes
// through DisplayText; then WithoutControls. Values longer than
// kMaxDecodedHeaderLength are not searched for words.
[[nodiscard]] std::string HeaderDisplayText(std::string_view raw);

// The six columns of a "New mail" row as a screen shows them: sender and
// subject decoded from the values as received when the row holds them, the
// rest through DisplayText; none holds a control character.
[[nodiscard]] std::array<std::string, kMailColumnCount> DisplayColumns(const MailRow& row);

// Platform part: `bytes` in the character set named `charset` (a MIME name
// such as "ISO-8859-2", "Shift_JIS", "UTF-8", "KOI8-R"; any letter case) as
// UTF-8. Bytes that are not valid in that set become U+FFFD. Empty when the
// platform does not know the character set.
[[nodiscard]] std::optional<std::string> CharsetToUtf8(std::string_view charset,
                                                       std::string_view bytes);

}  // namespace corvel
