// What the OAuth 2.0 authorization needs from the system: random bytes and
// SHA-256 for the PKCE proof, an HTTPS form POST whose JSON answer is read
// into its members, the one-shot loopback listener that receives the
// browser's redirect, and the browser itself. POSIX: OpenSSL, libcurl,
// nlohmann-json and sockets; a build without them says so in every answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvel {

// `count` bytes from the system's cryptographic random source. Throws
// std::runtime_error when it has none.
[[nodiscard]] std::string SecureRandomBytes(std::size_t count);
// The 32-byte SHA-256 digest of `data`. Throws std::runtime_error.
[[nodiscard]] std::string Sha256Digest(std::string_view data);

struct HttpFormAnswer {
  bool reached = false;  // an HTTP answer came
  long status = 0;       // its status code
  bool json = false;     // its body was a JSON object
  // The object's members that hold a string or a number, a number as the
  // JSON text it was sent as.
  std::map<std::string, std::string> members;
  std::string reason;  // when not reached: why
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// The parts of an absolute URL that decide where a request goes, as the
// HTTP client itself reads the URL (libcurl's URL parser on POSIX).
struct UrlParts {
  std::string scheme;        // in lower case
  std::string host;          // an IPv6 address in brackets
  bool credentials = false;  // a user name or password before the host
};
// Nothing, with why, when `url` cannot be read.
[[nodiscard]] std::optional<UrlParts> ParseUrl(const std::string& url, std::string& why);

// POSTs `fields` (application/x-www-form-urlencoded) to `url` and reads the
// JSON answer; gives up after `timeoutMs`. The server's certificate is
// verified against what TLS connections to mail servers trust (the system's
// authorities; on POSIX, SSL_CERT_FILE and SSL_CERT_DIR as OpenSSL reads
// them). Safe on any thread.
[[nodiscard]] HttpFormAnswer PostForm(const std::string& url, const FormFields& fields,
                                      int timeoutMs);

// Asks the desktop to show `url` in the user's browser (xdg-open); false,
// with why, when it cannot.
bool OpenInBrowser(const std::string& url, std::string& why);

// The reason of a wait that was cancelled.
inline constexpr std::string_view kWaitCancelled = "cancelled";

// A listener on 127.0.0.1 at a port the system picks, for one browser
// redirect.
class LoopbackListener {
 public:
  // Throws std::runtime_error when no listener can be opened.
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return port_; }

  struct Request {
    bool ok = false;
    std::string target;  // the path and query of the request, as sent
    std::string reason;  // when not ok: why (the time ran out, or kWaitCancelled)
  };
  // What a request to `path` is answered with.
  struct Answer {
    bool ok = true;    // "200 OK", else "400 Bad Request"
    std::string page;  // an HTML page
    bool done = true;  // ends the wait; else the listener waits on
  };
  // Waits at most `timeoutMs` for a GET whose target starts with `path`
  // followed by '?'. Each such request is answered with `answer(target)`
  // (other paths get "404 Not Found"); the first one whose answer is done
  // ends the wait. `cancelled` (when set) is asked at least every 100 ms;
  // true ends the wait with the reason kWaitCancelled.
  Request Wait(std::string_view path, int timeoutMs,
               const std::function<Answer(const std::string& target)>& answer,
               const std::function<bool()>& cancelled = {});

 private:
  std::intptr_t socket_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace corvel
