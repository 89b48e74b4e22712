// Base64 (RFC 2045 alphabet) for the POP3 logins: AUTH LOGIN sends the user
// name and password encoded, AUTH CRAM-MD5 and CRAM-SHA1 decode the server's
// challenge and encode the answer. Everything is a byte string; the encoder
// never breaks lines and the decoder never fails.
#pragma once

#include <string>
#include <string_view>

namespace corvel {

// Encodes `data` as one line: four characters per three bytes, a final group
// of two bytes ends in "=", of one byte in "==". An empty input gives "".
[[nodiscard]] std::string EncodeBase64(std::string_view data);

// Decodes `text` four characters at a time without ever rejecting it. A
// challenge from a server is taken as it comes: characters outside the
// alphabet are not skipped but occupy their place in the group and bring the
// bits of "/" (value 63); an "=" in the third place ends the group after one
// byte, in the fourth after two; an "=" in the first or second place brings
// zero bits; groups after an "=" are decoded as usual; zero bytes are kept.
[[nodiscard]] std::string DecodeBase64(std::string_view text);

}  // namespace corvel
