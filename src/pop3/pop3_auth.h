// The digests of the POP3 logins beyond USER/PASS: APOP (RFC 1939), AUTH
// CRAM-MD5 (RFC 2195, HMAC-MD5 of RFC 2104) and AUTH CRAM-SHA1 (the same
// exchange keyed with HMAC-SHA1). All inputs are byte strings taken exactly as
// stored; all hexadecimal output is lower case.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvel {

// Two lower-case hexadecimal digits per byte, high half first.
std::string LowerHex(std::span<const std::uint8_t> bytes);

// The 32 lower-case hexadecimal digits of MD5(timestamp + password), the
// argument of the APOP command.
std::string ApopDigest(std::string_view timestamp, std::string_view password);

// HMAC-MD5 (RFC 2104): a key longer than 64 bytes is replaced by its MD5
// digest; a key of 64 bytes or less is used as it is.
std::array<std::uint8_t, 16> HmacMd5(std::string_view key, std::string_view message);

// The answer texts of AUTH CRAM-MD5 and AUTH CRAM-SHA1 before their Base64
// encoding: user name, one space, the keyed digest of the decoded challenge.
std::string CramMd5Answer(std::string_view userName, std::string_view password,
                          std::string_view challenge);
std::string CramSha1Answer(std::string_view userName, std::string_view password,
                           std::string_view challenge);

}  // namespace corvel
