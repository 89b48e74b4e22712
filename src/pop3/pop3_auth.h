// The digests and answers of the POP3 logins beyond USER/PASS: APOP (RFC
// 1939), AUTH CRAM-MD5 (RFC 2195, HMAC-MD5 of RFC 2104), AUTH CRAM-SHA1 (the
// same exchange keyed with HMAC-SHA1), and the OAuth 2.0 bearer-token
// responses of XOAUTH2 and OAUTHBEARER (RFC 7628). All inputs are byte strings
// taken exactly as stored; all hexadecimal output is lower case.
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

// The XOAUTH2 client response before its Base64 encoding:
// "user=" user ^A "auth=Bearer " token ^A ^A.
std::string XOAuth2Response(std::string_view userName, std::string_view token);

// The OAUTHBEARER client response (RFC 7628) before its Base64 encoding:
// "n,a=" user "," ^A "host=" host ^A ["port=" port ^A] "auth=Bearer " token
// ^A ^A. The user name is escaped as the GS2 header wants ("," as "=2C", "="
// as "=3D"); the port is left out unless it is a decimal number.
std::string OAuthBearerResponse(std::string_view userName, std::string_view host,
                                std::string_view port, std::string_view token);

// `text` with every byte outside printable ASCII (0x20-0x7E) left out, cut to
// `maxLength` bytes: a server's text made safe to put into a log line.
std::string PrintableAscii(std::string_view text, std::size_t maxLength);

}  // namespace corvel
