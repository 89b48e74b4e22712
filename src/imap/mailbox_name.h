// Mailbox names on the wire. IMAP4rev1 servers name mailboxes in modified
// UTF-7 (RFC 3501, 5.1.3): printable ASCII stands for itself, "&" is written
// "&-", and every other run of characters is "&", their UTF-16 code units in
// a Base64 whose "/" is ",", without padding, and "-". Servers that speak
// UTF-8 (UTF8=ACCEPT enabled, RFC 6855, or IMAP4rev2, RFC 9051) take and give
// the names in UTF-8 instead. Corvel keeps and shows names in UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "codec/utf8.h"  // IWYU pragma: export

namespace corvel {

// The modified UTF-7 form of a UTF-8 name; nothing when `utf8` is not
// well-formed UTF-8 (an overlong form, a surrogate, a cut sequence).
[[nodiscard]] std::optional<std::string> EncodeModifiedUtf7(std::string_view utf8);

// The UTF-8 form of a modified UTF-7 name; nothing when `name` is not
// well-formed modified UTF-7 (a stray "&" run, bad Base64, an unpaired
// surrogate, or a run that encodes printable ASCII, which must stand for
// itself).
[[nodiscard]] std::optional<std::string> DecodeModifiedUtf7(std::string_view name);

}  // namespace corvel
