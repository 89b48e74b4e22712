// Corvel's own OAuth 2.0 authorization (RFC 6749, for a native program as
// RFC 8252 describes it): the authorization-code flow with a PKCE proof
// (RFC 7636, S256), the browser sent back to a one-shot listener on
// 127.0.0.1, the code exchanged at the token endpoint for a refresh token;
// and, at check time, the refresh token exchanged for a fresh access token.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/oauth_settings.h"
#include "app/auth/oauth_platform.h"

namespace corvel {

// The names the endpoints go by in what the user is told.
inline constexpr std::string_view kAuthorizeUrlName = "the authorization address (--auth-url)";
inline constexpr std::string_view kTokenUrlName = "the token address (--token-url)";

// Why the code, the verifier and the secrets must not be sent to `url`, or
// nothing: an endpoint is an https:// address, or an http:// one on the
// loopback (127.0.0.1, localhost, [::1]: tests and local proxies), and holds
// no user name or password. The URL is read as the HTTP client reads it.
[[nodiscard]] std::optional<std::string> RefusedEndpoint(std::string_view what,
                                                         const std::string& url);

// The scope Microsoft's IMAP logins want (the preset's is POP3's); Google's
// one scope serves both.
inline constexpr std::string_view kMicrosoftImapScope =
    "https://outlook.office.com/IMAP.AccessAsUser.All offline_access";

// Fills in the endpoints and scope of a known provider ("microsoft",
// "google"); a "custom" one must carry its own. Returns why the settings
// cannot be used, or nothing.
[[nodiscard]] std::optional<std::string> CompleteProviderSettings(OAuthSettings& settings);

// Base64 with the URL alphabet and without padding (RFC 4648, section 5).
[[nodiscard]] std::string Base64Url(std::string_view bytes);
// Every byte but the unreserved characters of RFC 3986 as %XX.
[[nodiscard]] std::string PercentEncode(std::string_view text);
// '+' as a blank and %XX as its byte; a malformed escape stays as it is.
[[nodiscard]] std::string PercentDecode(std::string_view text);
// The value of `name` in a query ("a=1&b=2"), decoded; nothing when absent.
[[nodiscard]] std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

struct Pkce {
  std::string verifier;   // 43 characters from 32 random bytes
  std::string challenge;  // BASE64URL(SHA256(verifier))
};
[[nodiscard]] Pkce MakePkce();

// The address the browser is sent to.
[[nodiscard]] std::string AuthorizationUrl(const OAuthSettings& settings,
                                           std::string_view redirectUri, std::string_view state,
                                           std::string_view challenge);

struct AuthorizationCode {
  bool ok = false;
  std::string code;
  bool otherState = false;  // the request carries another state than ours
  std::string reason;       // when not ok: the provider's error, or the wrong state
};
// The code carried by the redirect's request target, when its state is
// `state` and it carries no error.
[[nodiscard]] AuthorizationCode ReadRedirect(std::string_view target, std::string_view state);

// An access token whose answer names no life lives this long; none is
// taken to live longer than a day.
inline constexpr std::int64_t kUsualTokenLifeSeconds = 3600;
inline constexpr std::int64_t kLongestTokenLifeSeconds = 24 * 3600;

struct TokenGrant {
  bool ok = false;
  std::string accessToken;
  std::string refreshToken;  // empty when the answer kept the old one
  // From 0 to kLongestTokenLifeSeconds, whatever the endpoint sent.
  std::int64_t expiresInSeconds = 0;
  // When not ok: why. invalidGrant: the endpoint refused the code or the
  // refresh token itself (expired, revoked), so only a new authorization helps.
  std::string reason;
  bool invalidGrant = false;
};
// Reads a token endpoint's answer.
[[nodiscard]] TokenGrant ReadTokenAnswer(const HttpFormAnswer& answer);

// The limit of one request to the token endpoint.
inline constexpr int kTokenRequestTimeoutMs = 60000;

// Refused, without a request, when the token address is no endpoint the
// refresh token may be sent to (RefusedEndpoint).
[[nodiscard]] TokenGrant RefreshAccessToken(const OAuthSettings& settings,
                                            const std::string& clientSecret,
                                            const std::string& refreshToken,
                                            int timeoutMs = kTokenRequestTimeoutMs);

struct AuthorizeOptions {
  // How long the browser may take to come back.
  int timeoutMs = 5 * 60 * 1000;
  int tokenTimeoutMs = kTokenRequestTimeoutMs;
  // Shows the address in the browser; false (with why) when it cannot.
  std::function<bool(const std::string& url, std::string& why)> openBrowser = OpenInBrowser;
  // Tells the user the address, and whether the browser was opened with it
  // (else: why not).
  std::function<void(const std::string& url, const std::string& whyNotOpened)> tellUser;
  // Asked while waiting for the browser: true ends the authorization
  // ("cancelled").
  std::function<bool()> cancelled;
};

// The whole authorization; its grant holds the refresh token. The browser's
// page says the authorization succeeded only once the code was exchanged.
[[nodiscard]] TokenGrant Authorize(const OAuthSettings& settings, const std::string& clientSecret,
                                   const AuthorizeOptions& options);

}  // namespace corvel
