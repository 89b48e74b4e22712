// The client responses of the SASL mechanisms Corvel logs in with, shared by
// the POP3 AUTH command and the IMAP AUTHENTICATE command: CRAM-MD5 (RFC
// 2195, HMAC-MD5 of RFC 2104), CRAM-SHA1 (the same exchange keyed with
// HMAC-SHA1), PLAIN (RFC 4616), and the OAuth 2.0 bearer-token responses of
// XOAUTH2 and OAUTHBEARER (RFC 7628). All inputs are byte strings taken
// exactly as stored; all hexadecimal output is lower case; nothing here is
// Base64-encoded yet.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvel {

// Two lower-case hexadecimal digits per byte, high half first.
std::string LowerHex(std::span<const std::uint8_t> bytes);

// HMAC-MD5 (RFC 2104): a key longer than 64 bytes is replaced by its MD5
// digest; a key of 64 bytes or less is used as it is.
std::array<std::uint8_t, 16> HmacMd5(std::string_view key, std::string_view message);

// The answers of CRAM-MD5 and CRAM-SHA1: user name, one space, the keyed
// digest of the decoded challenge.
std::string CramMd5Answer(std::string_view userName, std::string_view password,
                          std::string_view challenge);
std::string CramSha1Answer(std::string_view userName, std::string_view password,
                           std::string_view challenge);

// The XOAUTH2 client response: "user=" user ^A "auth=Bearer " token ^A ^A.
std::string XOAuth2Response(std::string_view userName, std::string_view token);

// The OAUTHBEARER client response (RFC 7628): "n,a=" user "," ^A "host=" host
// ^A ["port=" port ^A] "auth=Bearer " token ^A ^A. The user name is escaped
// as the GS2 header wants ("," as "=2C", "=" as "=3D"); the port is left out
// unless it is a decimal number.
std::string OAuthBearerResponse(std::string_view userName, std::string_view host,
                                std::string_view port, std::string_view token);

// The PLAIN client response (RFC 4616) without an authorization identity:
// NUL user NUL password.
std::string PlainResponse(std::string_view userName, std::string_view password);

}  // namespace corvel
