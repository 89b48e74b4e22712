// What the OAuth 2.0 authorization needs from the system: random bytes and
// SHA-256 for the PKCE proof, an HTTPS form POST whose JSON answer is read
// into its members, the one-shot loopback listener that receives the
// browser's redirect, and the browser itself. POSIX: OpenSSL, libcurl,
// nlohmann-json and sockets; a build without them says so in every answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
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
  // The object's members that hold a string or a number, numbers as text.
  std::map<std::string, std::string> members;
  std::string reason;  // when not reached: why
};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// POSTs `fields` (application/x-www-form-urlencoded) to `url` and reads the
// JSON answer; gives up after `timeoutMs`. Safe on any thread.
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
  // Waits at most `timeoutMs` for a GET whose target starts with `path`
  // followed by '?'. Every request is answered with `page(target)` (an HTML
  // page; other paths get "404 Not Found"), and the first matching one ends
  // the wait. `cancelled` (when set) is asked at least every 100 ms; true
  // ends the wait with the reason "cancelled".
  Request Wait(std::string_view path, int timeoutMs,
               const std::function<std::string(const std::string& target)>& page,
               const std::function<bool()>& cancelled = {});

 private:
  std::intptr_t socket_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace corvel
