#include "support/oauth_test_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace corvel::test {
namespace {

std::string Decode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::map<std::string, std::string> Fields(const std::string& query) {
  std::map<std::string, std::string> fields;
  std::size_t pos = 0;
  while (pos <= query.size()) {
    std::size_t end = query.find('&', pos);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(pos, end - pos);
    const std::size_t equals = pair.find('=');
    if (equals != std::string::npos)
      fields[Decode(pair.substr(0, equals))] = Decode(pair.substr(equals + 1));
    pos = end + 1;
  }
  return fields;
}

std::string S256(const std::string& verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr);
  unsigned char text[64];
  const int size = EVP_EncodeBlock(text, digest, static_cast<int>(length));
  std::string encoded(reinterpret_cast<char*>(text), static_cast<std::size_t>(size));
  while (!encoded.empty() && encoded.back() == '=') encoded.pop_back();
  for (char& c : encoded) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return encoded;
}

std::string Http(const std::string& status, const std::string& headers, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string Json(const std::string& status, const std::string& body) {
  return Http(status, "Content-Type: application/json\r\n", body);
}

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

}  // namespace

OAuthTestServer::OAuthTestServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("the OAuth test server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

OAuthTestServer::~OAuthTestServer() {
  for (std::thread& browser : browsers_) browser.join();
  ::shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
}

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
  const std::lock_guard lock(mutex_);
  user_ = std::move(user);
}
std::string OAuthTestServer::IssueAccessToken() {
  const std::lock_guard lock(mutex_);
  Grant();
  return activeToken_;
}
int OAuthTestServer::Introspections() const {
  const std::lock_guard lock(mutex_);
  return introspections_;
}

void OAuthTestServer::SetAccessToken(std::string token, int expiresIn) {
  SetAccessToken(std::move(token), std::to_string(expiresIn));
}
void OAuthTestServer::SetAccessToken(std::string token, std::string expiresIn) {
  const std::lock_guard lock(mutex_);
  accessToken_ = std::move(token);
  expiresIn_ = std::move(expiresIn);
}
void OAuthTestServer::DenyAuthorization(std::string error) {
  const std::lock_guard lock(mutex_);
  denial_ = std::move(error);
}
void OAuthTestServer::RevokeRefreshTokens() {
  const std::lock_guard lock(mutex_);
  refreshToken_.clear();
  activeToken_.clear();
}
void OAuthTestServer::RequireClientSecret(std::string secret) {
  const std::lock_guard lock(mutex_);
  clientSecret_ = std::move(secret);
}
int OAuthTestServer::CodeGrants() const {
  const std::lock_guard lock(mutex_);
  return codeGrants_;
}
int OAuthTestServer::RefreshGrants() const {
  const std::lock_guard lock(mutex_);
  return refreshGrants_;
}
std::string OAuthTestServer::Refusals() const {
  const std::lock_guard lock(mutex_);
  return refusals_;
}

std::function<bool(const std::string&, std::string&)> OAuthTestServer::Browser() {
  return [this](const std::string& url, std::string&) {
    browsers_.emplace_back([this, url] {
      std::string page = Fetch(url);
      const std::lock_guard lock(mutex_);
      browserPage_ = std::move(page);
    });
    return true;
  };
}

std::string OAuthTestServer::Fetch(const std::string& url) {
  std::string page;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &page);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  return page;
}

std::string OAuthTestServer::BrowserPage() {
  for (std::thread& browser : browsers_) browser.join();
  browsers_.clear();
  const std::lock_guard lock(mutex_);
  return browserPage_;
}

void OAuthTestServer::Serve() {
  for (;;) {
    const int connection = ::accept(listener_, nullptr, nullptr);
    if (connection < 0) return;  // shut down
    std::string request;
    std::size_t headEnd = std::string::npos;
    std::size_t wanted = 0;
    char buffer[4096];
    for (;;) {
      if (headEnd == std::string::npos &&
          (headEnd = request.find("\r\n\r\n")) != std::string::npos) {
        const std::size_t at = request.find("Content-Length: ");
        wanted = headEnd + 4 + (at < headEnd ? std::stoul(request.substr(at + 16)) : 0);
      }
      if (headEnd != std::string::npos && request.size() >= wanted) break;
      const ssize_t count = ::read(connection, buffer, sizeof buffer);
      if (count <= 0) break;
      request.append(buffer, static_cast<std::size_t>(count));
    }
    const std::size_t space = request.find(' ');
    const std::size_t space2 = request.find(' ', space + 1);
    std::string answer = Http("400 Bad Request", "", "");
    if (headEnd != std::string::npos && space2 != std::string::npos) {
      const std::lock_guard lock(mutex_);
      answer = Answer(request.substr(0, space), request.substr(space + 1, space2 - space - 1),
                      request.substr(headEnd + 4));
    }
    (void)::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
    ::close(connection);
  }
}

std::string OAuthTestServer::Refuse(const std::string& error, const std::string& description) {
  refusals_ += error + ": " + description + "\n";
  return Json("400 Bad Request",
              "{\"error\":\"" + error + "\",\"error_description\":\"" + description + "\"}");
}

std::string OAuthTestServer::Grant() {
  refreshToken_ = "test-refresh-" + std::to_string(++issued_);
  activeToken_ = accessToken_.empty() ? "access-" + std::to_string(issued_) : accessToken_;
  return Json("200 OK", "{\"token_type\":\"Bearer\",\"access_token\":\"" + activeToken_ +
                            "\",\"expires_in\":" + expiresIn_ + ",\"refresh_token\":\"" +
                            refreshToken_ + "\"}");
}

std::string OAuthTestServer::Answer(const std::string& method, const std::string& target,
                                    const std::string& body) {
  const std::size_t question = target.find('?');
  const std::string path = target.substr(0, question);
  if (method == "GET" && path == "/authorize") {
    auto query = Fields(question == std::string::npos ? "" : target.substr(question + 1));
    if (query["response_type"] != "code" || query["client_id"] != kClientId ||
        query["code_challenge_method"] != "S256" || query["code_challenge"].size() != 43 ||
        !query["redirect_uri"].starts_with("http://127.0.0.1:") || query["state"].empty()) {
      return Refuse("invalid_request", "authorization request malformed: " + target);
    }
    std::string back = query["redirect_uri"] + "?state=" + query["state"];
    if (!denial_.empty()) {
      back += "&error=" + denial_ + "&error_description=The+user+said+no";
    } else {
      const std::string code = "code-" + std::to_string(codes_.size() + 1);
      codes_[code] = {query["code_challenge"], query["redirect_uri"]};
      back += "&code=" + code;
    }
    return Http("302 Found", "Location: " + back + "\r\n", "");
  }
  if (method == "POST" && path == "/introspect") {
    ++introspections_;
    const bool active = !activeToken_.empty() && Fields(body)["token"] == activeToken_;
    return Json("200 OK",
                active ? "{\"active\":true,\"username\":\"" + user_ + "\"}" : "{\"active\":false}");
  }
  if (method != "POST" || path != "/token") return Http("404 Not Found", "", "");
  auto form = Fields(body);
  if (form["client_id"] != kClientId || form["client_secret"] != clientSecret_) {
    return Refuse("invalid_client", "unknown client or wrong secret");
  }
  if (form["grant_type"] == "authorization_code") {
    const auto code = codes_.find(form["code"]);
    if (code == codes_.end()) return Refuse("invalid_grant", "unknown code");
    const Code issued = code->second;
    codes_.erase(code);
    if (form["redirect_uri"] != issued.redirectUri) {
      return Refuse("invalid_grant", "redirect_uri differs");
    }
    if (S256(form["code_verifier"]) != issued.challenge) {
      return Refuse("invalid_grant", "PKCE verifier does not match the challenge");
    }
    ++codeGrants_;
    return Grant();
  }
  if (form["grant_type"] == "refresh_token") {
    if (refreshToken_.empty() || form["refresh_token"] != refreshToken_) {
      return Refuse("invalid_grant", "refresh token revoked");
    }
    ++refreshGrants_;
    return Grant();
  }
  return Refuse("unsupported_grant_type", form["grant_type"]);
}

}  // namespace corvel::test
