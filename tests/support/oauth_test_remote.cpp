// The Windows side of the OAuth test server: the server and its browser run
// in the TLS peer host; each call here is one request on the object's own
// control connection (tls_peer_wire.h).
#include <stdexcept>
#include <utility>

#include "support/oauth_test_server.h"
#include "support/peer_host_channel.h"

namespace corvel::test {
namespace {

std::vector<std::string> Checked(std::vector<std::string> reply, const std::string& what) {
  if (reply.empty() || reply[0] != "ok") {
    throw std::runtime_error("TLS peer host: " + what + " failed" +
                             (reply.size() > 1 ? ": " + reply[1] : std::string()));
  }
  reply.erase(reply.begin());
  return reply;
}

int Number(const std::vector<std::string>& reply, std::size_t i) {
  return i < reply.size() && !reply[i].empty() ? std::stoi(reply[i]) : 0;
}

}  // namespace

OAuthTestServer::OAuthTestServer() : channel_(std::make_unique<remote::Channel>()) {
  port_ = static_cast<std::uint16_t>(
      Number(Checked(channel_->Call("oauth", {}), "starting the OAuth test server"), 0));
}

OAuthTestServer::~OAuthTestServer() = default;

std::string OAuthTestServer::AuthorizeUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/authorize";
}
std::string OAuthTestServer::TokenUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/token";
}
std::string OAuthTestServer::IntrospectionUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/introspect";
}
void OAuthTestServer::SetUser(std::string user) {
  Checked(channel_->Call("oauth-user", {user}), "oauth-user");
}
std::string OAuthTestServer::IssueAccessToken() {
  return Checked(channel_->Call("oauth-issue", {}), "oauth-issue").at(0);
}
void OAuthTestServer::SetAccessToken(std::string token, int expiresIn) {
  SetAccessToken(std::move(token), std::to_string(expiresIn));
}
void OAuthTestServer::SetAccessToken(std::string token, std::string expiresIn) {
  Checked(channel_->Call("oauth-access", {token, expiresIn}), "oauth-access");
}
void OAuthTestServer::DenyAuthorization(std::string error) {
  Checked(channel_->Call("oauth-deny", {error}), "oauth-deny");
}
void OAuthTestServer::RevokeRefreshTokens() {
  Checked(channel_->Call("oauth-revoke", {}), "oauth-revoke");
}
void OAuthTestServer::RequireClientSecret(std::string secret) {
  Checked(channel_->Call("oauth-secret", {secret}), "oauth-secret");
}
int OAuthTestServer::CodeGrants() const {
  return Number(Checked(channel_->Call("oauth-counts", {}), "oauth-counts"), 0);
}
int OAuthTestServer::RefreshGrants() const {
  return Number(Checked(channel_->Call("oauth-counts", {}), "oauth-counts"), 1);
}
int OAuthTestServer::Introspections() const {
  return Number(Checked(channel_->Call("oauth-counts", {}), "oauth-counts"), 2);
}
std::string OAuthTestServer::Refusals() const {
  const std::vector<std::string> reply = channel_->Call("oauth-counts", {});
  return reply.size() > 4 ? reply[4] : "(the TLS peer host did not answer)";
}

// The browser runs in the host too, on a thread of its own there: it
// reaches the program's listener on this machine's loopback.
std::function<bool(const std::string& url, std::string& why)> OAuthTestServer::Browser() {
  return [this](const std::string& url, std::string& why) {
    const std::vector<std::string> reply = channel_->Call("oauth-browse", {url});
    if (!reply.empty() && reply[0] == "ok") return true;
    why = "the TLS peer host's browser did not start";
    return false;
  };
}

std::string OAuthTestServer::BrowserPage() {
  return Checked(channel_->Call("oauth-page", {}), "oauth-page").at(0);
}

}  // namespace corvel::test
