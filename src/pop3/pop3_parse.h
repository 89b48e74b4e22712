// Reading numbers and unique ids out of POP3 reply lines (RFC 1939 STAT, LIST,
// UIDL and LAST answers), and the trimming applied to the user name and
// password before they are sent.
//
// The parsers are lenient by design: they skip to the first digit, so a
// server's wording around the numbers does not matter. Digits accumulate in
// 32 bits without an overflow check; the arithmetic is unsigned, so an
// oversized number wraps instead of being undefined.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// Two numbers of a reply ("+OK 2 320"). False, with both 0, when the line
// holds no digit or nothing follows the first number; otherwise true, with
// `second` 0 when no digit follows the blanks after the first number.
bool ParseNumbers(std::string_view line, std::int32_t& first, std::int32_t& second);

// The message number and unique id of a UIDL reply ("+OK 3 XQ-91a"). The id
// is every byte after the number and the blanks (spaces, tabs) that follow
// it, up to the line end: RFC 1939 allows only codes 33-126, but what a server
// sends is kept as it is, so that two ids that differ anywhere stay two ids.
// False, with 0 and empty, when the line holds no digit.
bool ParseNumberAndUidl(std::string_view line, std::int32_t& number, std::string& uidl);

// The first decimal number of the line, 0 when there is none.
std::int32_t ParseFirstNumber(std::string_view line);

// Removes the characters of code 0-32 at both ends.
std::string TrimControl(std::string_view text);

}  // namespace corvel
