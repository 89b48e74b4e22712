#include "app/auth/oauth_flow.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <exception>

#include "codec/ascii.h"
#include "codec/base64.h"
#include "pop3/pop3_auth.h"

namespace corvel {
namespace {

struct ProviderPreset {
  std::string_view name;
  std::string_view authorizeUrl;
  std::string_view tokenUrl;
  std::string_view scope;
  std::string_view extraParameters;  // added to the authorization address
};

constexpr std::array<ProviderPreset, 2> kPresets = {{
    {"microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://outlook.office.com/POP.AccessAsUser.All offline_access", ""},
    // Without offline access and a fresh consent Google sends no refresh
    // token to a user who has authorized the client before.
    {"google", "https://accounts.google.com/o/oauth2/v2/auth",
     "https://oauth2.googleapis.com/token", "https://mail.google.com/",
     "&access_type=offline&prompt=consent"},
}};

const ProviderPreset* PresetOf(std::string_view provider) {
  for (const ProviderPreset& preset : kPresets) {
    if (preset.name == provider) return &preset;
  }
  return nullptr;
}

bool IsUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool IsLoopbackHost(std::string_view host) {
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

std::string HtmlEscaped(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string Page(std::string_view message) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Corvel</title></head>"
         "<body><p>" +
         HtmlEscaped(message) + "</p></body></html>";
}

FormFields ClientFields(const OAuthSettings& settings, const std::string& clientSecret) {
  FormFields fields{{"client_id", settings.clientId}};
  if (!clientSecret.empty()) fields.emplace_back("client_secret", clientSecret);
  return fields;
}

TokenGrant Failure(std::string reason) {
  TokenGrant grant;
  grant.reason = std::move(reason);
  return grant;
}

// An access token's life in seconds, from the text of "expires_in": a
// fraction is cut off, a negative life is none, a life beyond a day (or a
// number no integer holds) is a day; no number at all is the usual hour.
std::int64_t TokenLifeOf(std::string_view text) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size() ||
      std::isnan(seconds)) {
    return kUsualTokenLifeSeconds;
  }
  if (error == std::errc::result_out_of_range) {
    return text.starts_with('-') ? 0 : kLongestTokenLifeSeconds;
  }
  return static_cast<std::int64_t>(
      std::clamp(seconds, 0.0, static_cast<double>(kLongestTokenLifeSeconds)));
}

}  // namespace

std::optional<std::string> RefusedEndpoint(std::string_view what, const std::string& url) {
  if (url.empty()) return std::string(what) + " is missing";
  std::string why;
  const std::optional<UrlParts> parts = ParseUrl(url, why);
  const std::string shown = "'" + PrintableAscii(url, 200) + "'";
  if (!parts) return std::string(what) + " cannot be read (" + why + "): " + shown;
  // A user name or password in the address would go to the server in
  // clear with every request, and it hides the host from a reader.
  if (parts->credentials) {
    return std::string(what) + " must not hold a user name or password: " + shown;
  }
  if (parts->scheme == "https" || (parts->scheme == "http" && IsLoopbackHost(parts->host))) {
    return std::nullopt;
  }
  return std::string(what) + " must be an https:// address, not " + shown;
}

std::optional<std::string> CompleteProviderSettings(OAuthSettings& settings) {
  if (settings.clientId.empty()) return "a client ID is needed (--client-id)";
  if (const ProviderPreset* preset = PresetOf(settings.provider)) {
    settings.authorizeUrl = std::string(preset->authorizeUrl);
    settings.tokenUrl = std::string(preset->tokenUrl);
    if (settings.scope.empty()) settings.scope = std::string(preset->scope);
  } else if (settings.provider != "custom") {
    return "the provider is microsoft, google or custom, not '" +
           PrintableAscii(settings.provider, 100) + "'";
  }
  if (auto refused = RefusedEndpoint(kAuthorizeUrlName, settings.authorizeUrl)) return refused;
  if (auto refused = RefusedEndpoint(kTokenUrlName, settings.tokenUrl)) return refused;
  if (settings.scope.empty()) return "a scope is needed (--scope)";
  return std::nullopt;
}

std::string Base64Url(std::string_view bytes) {
  std::string text = EncodeBase64(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (char c : text) {
    if (IsUnreserved(c)) {
      encoded += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return encoded;
}

std::string PercentDecode(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
               HexDigitValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t end = query.find('&');
    const std::string_view pair = query.substr(0, end);
    const std::size_t equals = pair.find('=');
    if (PercentDecode(pair.substr(0, equals)) == name) {
      return equals == std::string_view::npos ? std::string()
                                              : PercentDecode(pair.substr(equals + 1));
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return std::nullopt;
}

Pkce MakePkce() {
  Pkce pkce;
  pkce.verifier = Base64Url(SecureRandomBytes(32));
  pkce.challenge = Base64Url(Sha256Digest(pkce.verifier));
  return pkce;
}

std::string AuthorizationUrl(const OAuthSettings& settings, std::string_view redirectUri,
                             std::string_view state, std::string_view challenge) {
  std::string url = settings.authorizeUrl;
  url += url.find('?') == std::string::npos ? '?' : '&';
  url += "response_type=code&client_id=" + PercentEncode(settings.clientId) +
         "&redirect_uri=" + PercentEncode(redirectUri) + "&scope=" + PercentEncode(settings.scope) +
         "&state=" + PercentEncode(state) + "&code_challenge=" + PercentEncode(challenge) +
         "&code_challenge_method=S256";
  if (const ProviderPreset* preset = PresetOf(settings.provider)) url += preset->extraParameters;
  return url;
}

AuthorizationCode ReadRedirect(std::string_view target, std::string_view state) {
  AuthorizationCode result;
  const std::size_t question = target.find('?');
  const std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  if (QueryValue(query, "state").value_or("") != state) {
    result.otherState = true;
    result.reason = "the browser came back with another authorization's state; nothing was used";
    return result;
  }
  if (const auto error = QueryValue(query, "error")) {
    const std::string description = QueryValue(query, "error_description").value_or("");
    result.reason = "the provider refused the authorization: " + PrintableAscii(*error, 100) +
                    (description.empty() ? "" : ": " + PrintableAscii(description, 300));
    return result;
  }
  result.code = QueryValue(query, "code").value_or("");
  if (result.code.empty()) {
    result.reason = "the browser came back without an authorization code";
    return result;
  }
  result.ok = true;
  return result;
}

TokenGrant ReadTokenAnswer(const HttpFormAnswer& answer) {
  if (!answer.reached) return Failure("cannot reach the token endpoint: " + answer.reason);
  const auto member = [&answer](const char* name) {
    const auto it = answer.members.find(name);
    return it == answer.members.end() ? std::string() : it->second;
  };
  const std::string error = member("error");
  if (answer.status != 200 || !error.empty()) {
    TokenGrant grant;
    grant.invalidGrant = error == "invalid_grant";
    const std::string description = member("error_description");
    grant.reason = "the token endpoint refused (HTTP " + std::to_string(answer.status) + ")";
    if (!error.empty()) grant.reason += ": " + PrintableAscii(error, 100);
    if (!description.empty()) grant.reason += ": " + PrintableAscii(description, 300);
    return grant;
  }
  TokenGrant grant;
  grant.accessToken = member("access_token");
  if (!answer.json || grant.accessToken.empty()) {
    return Failure("the token endpoint's answer holds no access token");
  }
  grant.refreshToken = member("refresh_token");
  grant.expiresInSeconds = TokenLifeOf(member("expires_in"));
  grant.ok = true;
  return grant;
}

TokenGrant RefreshAccessToken(const OAuthSettings& settings, const std::string& clientSecret,
                              const std::string& refreshToken, int timeoutMs) {
  // The settings file may have been edited by hand since the authorization.
  if (auto refused = RefusedEndpoint(kTokenUrlName, settings.tokenUrl)) {
    return Failure(*refused + " (in " + std::string(kOAuthSettingsFileName) + ")");
  }
  FormFields fields = ClientFields(settings, clientSecret);
  fields.emplace_back("grant_type", "refresh_token");
  fields.emplace_back("refresh_token", refreshToken);
  return ReadTokenAnswer(PostForm(settings.tokenUrl, fields, timeoutMs));
}

TokenGrant Authorize(const OAuthSettings& settings, const std::string& clientSecret,
                     const AuthorizeOptions& options) {
  for (const auto& [what, url] : {std::pair{kAuthorizeUrlName, &settings.authorizeUrl},
                                  std::pair{kTokenUrlName, &settings.tokenUrl}}) {
    if (auto refused = RefusedEndpoint(what, *url)) return Failure(*refused);
  }
  try {
    LoopbackListener listener;
    // As registered: the loopback address, any port (RFC 8252, section 7.3).
    const std::string redirectUri = "http://127.0.0.1:" + std::to_string(listener.Port());
    const Pkce pkce = MakePkce();
    const std::string state = Base64Url(SecureRandomBytes(16));
    const std::string url = AuthorizationUrl(settings, redirectUri, state, pkce.challenge);
    std::string whyNot = "not asked to";
    const bool opened = options.openBrowser && options.openBrowser(url, whyNot);
    if (options.tellUser) options.tellUser(url, opened ? std::string() : whyNot);

    // A request with another state comes from another page or program that
    // found the port: it is refused and the listener waits on for the
    // browser. The browser is told the outcome only once the code has been
    // exchanged.
    TokenGrant grant = Failure("the browser came back without an authorization code");
    const LoopbackListener::Request request = listener.Wait(
        "/", options.timeoutMs,
        [&](const std::string& target) -> LoopbackListener::Answer {
          const AuthorizationCode code = ReadRedirect(target, state);
          if (code.otherState) {
            return {false, Page("This is not the authorization Corvel is waiting for."), false};
          }
          if (!code.ok) {
            grant = Failure(code.reason);
          } else {
            FormFields fields = ClientFields(settings, clientSecret);
            fields.emplace_back("grant_type", "authorization_code");
            fields.emplace_back("code", code.code);
            fields.emplace_back("redirect_uri", redirectUri);
            fields.emplace_back("code_verifier", pkce.verifier);
            grant = ReadTokenAnswer(PostForm(settings.tokenUrl, fields, options.tokenTimeoutMs));
            if (grant.ok && grant.refreshToken.empty()) {
              grant =
                  Failure("the provider gave no refresh token (is offline access in the scope?)");
            }
          }
          if (!grant.ok)
            return {false, Page("Corvel did not get the authorization: " + grant.reason)};
          return {true, Page("Corvel has the authorization. You can close this page.")};
        },
        options.cancelled);
    if (!request.ok) return Failure("the authorization did not come back: " + request.reason);
    return grant;
  } catch (const std::exception& e) {
    return Failure(e.what());
  }
}

}  // namespace corvel
