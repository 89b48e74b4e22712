// The digests and answers of the POP3 logins beyond USER/PASS: the APOP
// digest (RFC 1939) here, and the SASL answers of AUTH (CRAM-MD5, CRAM-SHA1,
// XOAUTH2, OAUTHBEARER) from codec/sasl.h, which IMAP shares. All inputs are
// byte strings taken exactly as stored; all hexadecimal output is lower case.
#pragma once

#include <string>
#include <string_view>

#include "codec/ascii.h"  // IWYU pragma: export
#include "codec/sasl.h"   // IWYU pragma: export

namespace corvel {

// The 32 lower-case hexadecimal digits of MD5(timestamp + password), the
// argument of the APOP command.
std::string ApopDigest(std::string_view timestamp, std::string_view password);

}  // namespace corvel
