// A small OAuth 2.0 authorization server for tests, on 127.0.0.1 at a port
// the system picks: /authorize sends the browser back to the loopback
// redirect with a code and the state; /token exchanges a code when the PKCE
// verifier matches the challenge, and a refresh token for a new access token
// and a new refresh token (the old one is then spent). It plays the browser
// too: Browser() follows the authorization address as a browser would.
//
// Windows builds run the server, and its browser, in the TLS peer host
// (tls_peer_host.cpp) on the build machine; the calls below are forwarded
// to it (oauth_test_remote.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvel::test {

#ifdef _WIN32
namespace remote {
class Channel;
}  // namespace remote
#endif

class OAuthTestServer {
 public:
  static constexpr char kClientId[] = "corvel-test-client";

  OAuthTestServer();
  ~OAuthTestServer();
  OAuthTestServer(const OAuthTestServer&) = delete;
  OAuthTestServer& operator=(const OAuthTestServer&) = delete;

  [[nodiscard]] std::string AuthorizeUrl() const;
  [[nodiscard]] std::string TokenUrl() const;
  // Token introspection (RFC 7662): a token the last grant gave is active
  // and belongs to `user`.
  [[nodiscard]] std::string IntrospectionUrl() const;
  void SetUser(std::string user);
  [[nodiscard]] int Introspections() const;
  // An access token given as a grant gives one, without a browser: the one
  // introspection calls active from now on.
  [[nodiscard]] std::string IssueAccessToken();

  // The access token every grant gives ("" for a new one each time:
  // access-1, access-2, ...), and its life in seconds (the JSON number as
  // sent: "3600", "1e300", "-5", "59.9").
  void SetAccessToken(std::string token, int expiresIn);
  void SetAccessToken(std::string token, std::string expiresIn);
  // /authorize sends the browser back with error=`error` instead of a code.
  void DenyAuthorization(std::string error);
  // Every token given so far is refused from now on.
  void RevokeRefreshTokens();
  // The client secret /token requires (none by default).
  void RequireClientSecret(std::string secret);

  [[nodiscard]] int CodeGrants() const;
  [[nodiscard]] int RefreshGrants() const;
  // Each refusal of the server, for failure messages.
  [[nodiscard]] std::string Refusals() const;

  // A browser opener for the authorization: it follows the address (and the
  // redirect to the loopback listener) on a thread of its own.
  [[nodiscard]] std::function<bool(const std::string& url, std::string& why)> Browser();
  // The page the browser was shown last, once its thread has ended.
  [[nodiscard]] std::string BrowserPage();
  // The page a GET of `url` ends at, redirects followed.
  [[nodiscard]] static std::string Fetch(const std::string& url);

 private:
  struct Code {
    std::string challenge;
    std::string redirectUri;
  };
  void Serve();
  std::string Answer(const std::string& method, const std::string& target, const std::string& body);
  std::string Refuse(const std::string& error, const std::string& description);
  std::string Grant();

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::thread> browsers_;
  std::string accessToken_ = "test-access-token";
  std::string expiresIn_ = "3600";
  std::string browserPage_;
  std::string denial_;
  std::string clientSecret_;
  std::map<std::string, Code> codes_;
  std::string refreshToken_;  // the one that is good now
  int issued_ = 0;
  int codeGrants_ = 0;
  int refreshGrants_ = 0;
  std::string refusals_;
  std::string user_;
  std::string activeToken_;  // the access token of the last grant
  int introspections_ = 0;
#ifdef _WIN32
  std::unique_ptr<remote::Channel> channel_;
#endif
};

}  // namespace corvel::test
