// The OAuth 2.0 system pieces on POSIX: OpenSSL for random bytes and SHA-256,
// libcurl (loaded at its first use) for the token endpoint and for reading
// URLs, a socket polled with a deadline for the
// browser's redirect, xdg-open for the browser. The HTTP texts themselves
// (form body, JSON answer, request head, reply) are http_exchange's, shared
// with Windows.
#include "app/auth/oauth_platform.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "app/auth/http_exchange.h"
#include "app/auth/posix/curl_library.h"
#include "app/process/process.h"
#include "net/posix/openssl_library.h"

namespace corvel {
namespace {

std::size_t CollectAnswer(char* data, std::size_t size, std::size_t count, void* sink) {
  auto* body = static_cast<std::string*>(sink);
  if (body->size() + size * count > kFormAnswerLimit) return 0;  // ends the transfer
  body->append(data, size * count);
  return size * count;
}

struct CurlEasy {
  CURL* handle = Curl().easy_init();
  ~CurlEasy() {
    if (handle != nullptr) Curl().easy_cleanup(handle);
  }
};

// The connection to the token endpoint is close-on-exec from the start, as
// every descriptor of the program: a program started meanwhile on the loop
// thread must not inherit it.
curl_socket_t OpenCloseOnExec(void* /*data*/, curlsocktype /*purpose*/, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The value of the environment variable `variable`, or `fallback`.
std::string OpenSslDefault(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string PosixError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

std::string SecureRandomBytes(std::size_t count) {
  const OpenSslLibrary& openSsl = OpenSsl();
  if (!openSsl.loaded) throw std::runtime_error("no random bytes: " + openSsl.reason);
  std::string bytes(count, '\0');
  if (openSsl.rand_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) !=
      1) {
    throw std::runtime_error("no random bytes from the system");
  }
  return bytes;
}

std::string Sha256Digest(std::string_view data) {
  const OpenSslLibrary& openSsl = OpenSsl();
  if (!openSsl.loaded) throw std::runtime_error("SHA-256 failed: " + openSsl.reason);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (openSsl.evp_digest(data.data(), data.size(), digest, &length, openSsl.evp_sha256(),
                         nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::optional<UrlParts> ParseUrl(const std::string& url, std::string& why) {
  const CurlLibrary& curl = Curl();
  if (!curl.loaded) {
    why = curl.reason;
    return std::nullopt;
  }
  CURLU* handle = curl.url();
  if (handle == nullptr) throw std::bad_alloc();
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> owner(handle, curl.url_cleanup);
  if (const CURLUcode code = curl.url_set(handle, CURLUPART_URL, url.c_str(), 0);
      code != CURLUE_OK) {
    why = curl.url_strerror(code);
    return std::nullopt;
  }
  UrlParts parts;
  const auto part = [&curl, handle](CURLUPart which, std::string& text) {
    char* value = nullptr;
    if (curl.url_get(handle, which, &value, 0) != CURLUE_OK || value == nullptr) return false;
    text = value;
    curl.free(value);
    return true;
  };
  std::string ignored;
  if (!part(CURLUPART_SCHEME, parts.scheme) || !part(CURLUPART_HOST, parts.host)) {
    why = "no scheme or host";
    return std::nullopt;
  }
  parts.credentials = part(CURLUPART_USER, ignored) || part(CURLUPART_PASSWORD, ignored) ||
                      part(CURLUPART_OPTIONS, ignored);
  return parts;
}

HttpFormAnswer PostForm(const std::string& url, const FormFields& fields, int timeoutMs) {
  HttpFormAnswer answer;
  const CurlLibrary& curl = Curl();
  if (!curl.loaded) {
    answer.reason = curl.reason;
    return answer;
  }
  const OpenSslLibrary& openSsl = OpenSsl();
  if (!openSsl.loaded) {
    answer.reason = openSsl.reason;
    return answer;
  }
  static std::once_flag initialised;
  std::call_once(initialised, [&curl] { curl.global_init(CURL_GLOBAL_DEFAULT); });
  CurlEasy easy;
  if (easy.handle == nullptr) {
    answer.reason = "libcurl could not start";
    return answer;
  }
  const std::string body = FormEncoded(fields);
  std::string received;
  char error[CURL_ERROR_SIZE] = "";
  curl.easy_setopt(easy.handle, CURLOPT_URL, url.c_str());
  curl.easy_setopt(easy.handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl.easy_setopt(easy.handle, CURLOPT_POSTFIELDS, body.c_str());
  curl.easy_setopt(easy.handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl.easy_setopt(easy.handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  curl.easy_setopt(easy.handle, CURLOPT_NOSIGNAL, 1L);
  curl.easy_setopt(easy.handle, CURLOPT_OPENSOCKETFUNCTION, OpenCloseOnExec);
  // The authorities OpenSSL's default paths name, which the mail servers'
  // TLS uses: a private authority in SSL_CERT_FILE serves both.
  const std::string caFile = OpenSslDefault(openSsl.x509_get_default_cert_file_env(),
                                            openSsl.x509_get_default_cert_file());
  const std::string caDir =
      OpenSslDefault(openSsl.x509_get_default_cert_dir_env(), openSsl.x509_get_default_cert_dir());
  curl.easy_setopt(easy.handle, CURLOPT_CAINFO, caFile.c_str());
  curl.easy_setopt(easy.handle, CURLOPT_CAPATH, caDir.c_str());
  curl.easy_setopt(easy.handle, CURLOPT_ERRORBUFFER, error);
  curl.easy_setopt(easy.handle, CURLOPT_WRITEFUNCTION, CollectAnswer);
  curl.easy_setopt(easy.handle, CURLOPT_WRITEDATA, &received);
  curl_slist* headers = curl.slist_append(nullptr, "Accept: application/json");
  curl.easy_setopt(easy.handle, CURLOPT_HTTPHEADER, headers);
  const CURLcode result = curl.easy_perform(easy.handle);
  curl.slist_free_all(headers);
  if (result != CURLE_OK) {
    answer.reason = *error != '\0' ? error : curl.easy_strerror(result);
    return answer;
  }
  long status = 0;
  curl.easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &status);
  return ReadFormAnswer(status, received);
}

bool OpenInBrowser(const std::string& url, std::string& why) {
  process::StartOptions quiet;
  quiet.quiet = true;
  const std::optional<process::Id> id = process::StartDetached({"xdg-open", url}, quiet, why);
  if (!id) {
    why = "xdg-open could not be started: " + why;
    return false;
  }
  // xdg-open hands the address on and ends; its status tells whether a
  // browser took it. Without a desktop it may run a browser itself and
  // stay: after a few seconds it is taken to have shown the page.
  for (int waited = 0; waited < 5000; waited += 50) {
    if (const std::optional<process::Ending> ending = process::TryReap(*id)) {
      if (ending->signalled || ending->code != 0) {
        why = "xdg-open found no browser";
        return false;
      }
      return true;
    }
    ::poll(nullptr, 0, 50);
  }
  process::Forget(*id);
  return true;
}

LoopbackListener::LoopbackListener() {
  // Non-blocking: a connection that goes between poll() and accept() must
  // not leave accept() waiting.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(PosixError("no socket for the browser's redirect"));
  socket_ = fd;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string why = PosixError("no listener on 127.0.0.1");
    ::close(fd);
    socket_ = -1;
    throw std::runtime_error(why);
  }
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
}

LoopbackListener::Request LoopbackListener::Wait(
    std::string_view path, int timeoutMs,
    const std::function<Answer(const std::string& target)>& answerOf,
    const std::function<bool()>& cancelled) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto left = [&deadline] {
    return static_cast<int>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  const std::string prefix = std::string(path) + "?";
  Request request;
  constexpr int kCancelCheckMs = 100;
  for (;;) {
    if (cancelled && cancelled()) {
      request.reason = std::string(kWaitCancelled);
      return request;
    }
    pollfd listening{static_cast<int>(socket_), POLLIN, 0};
    const int wait = cancelled ? std::min(left(), kCancelCheckMs) : left();
    const int ready = ::poll(&listening, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (ready == 0 && left() == 0)) break;
    if (ready == 0) continue;
    const int connection = ::accept4(static_cast<int>(socket_), nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    // The request head, read within a few seconds; a silent or endless
    // client (a browser's speculative connection) is dropped, so that the
    // real request behind it is reached.
    std::string head;
    const auto headDeadline = Clock::now() + std::chrono::milliseconds(kRequestHeadTimeoutMs);
    while (!RequestHeadComplete(head) && head.size() < kRequestHeadLimit) {
      const auto headLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::min(headDeadline, deadline) - Clock::now())
                                .count();
      pollfd readable{connection, POLLIN, 0};
      if (headLeft <= 0 || ::poll(&readable, 1, static_cast<int>(headLeft)) <= 0) break;
      char buffer[2048];
      const ssize_t count = ::read(connection, buffer, sizeof buffer);
      if (count <= 0) break;
      head.append(buffer, static_cast<std::size_t>(count));
    }
    const std::string target = GetRequestTarget(head);
    const bool matches = target.starts_with(prefix);
    Answer answer{false, "Not found", false};
    if (matches) answer = answerOf(target);
    const std::string status = !matches    ? "404 Not Found"
                               : answer.ok ? "200 OK"
                                           : "400 Bad Request";
    const std::string reply = LoopbackReply(status, matches, answer.page);
    (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(connection);
    if (answer.done) {
      request.ok = true;
      request.target = target;
      return request;
    }
    if (left() == 0) break;
  }
  request.reason = "no answer from the browser within " + std::to_string(timeoutMs / 1000) + " s";
  return request;
}

}  // namespace corvel
