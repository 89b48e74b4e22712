// The few pieces of HTTP that the OAuth 2.0 system halves (POSIX and
// Windows) share, free of any system call: the body of a form POST
// (application/x-www-form-urlencoded), the reading of the token endpoint's
// JSON answer (RFC 6749, section 5), and the request head the loopback
// listener reads from the browser and the reply it writes back (RFC 8252,
// section 7.3).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app/auth/oauth_platform.h"

namespace corvel {

// More than any token endpoint's answer; a longer one is taken as broken.
inline constexpr std::size_t kFormAnswerLimit = 64 * 1024;
// More than any browser's request head, and the time it may take to come:
// a connection that sends nothing (a browser's speculative one) is dropped
// after it, so that the real request behind it is reached.
inline constexpr std::size_t kRequestHeadLimit = 16 * 1024;
inline constexpr int kRequestHeadTimeoutMs = 3000;

// "name=value&..." with every byte but the unreserved ones as %XX.
[[nodiscard]] std::string FormEncoded(const FormFields& fields);

// A reached endpoint's answer: its status and, when the body is a JSON
// object, its members that hold a string or a number (a number as the JSON
// text it was sent as).
[[nodiscard]] HttpFormAnswer ReadFormAnswer(long status, std::string_view body);

// Whether `head` holds a whole request head (up to its empty line).
[[nodiscard]] bool RequestHeadComplete(std::string_view head);
// The target of a GET request ("/?code=...&state=..."); empty for another
// method or a head that cannot be read.
[[nodiscard]] std::string GetRequestTarget(std::string_view head);

// The whole HTTP/1.1 reply, closing the connection: `status` ("200 OK"),
// an HTML page or, with html false, plain text.
[[nodiscard]] std::string LoopbackReply(std::string_view status, bool html, std::string_view body);

}  // namespace corvel
