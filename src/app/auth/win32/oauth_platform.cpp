// The OAuth 2.0 system pieces on Windows: random bytes and SHA-256 from
// CNG; WinHTTP for the token endpoint, whose certificate is checked against
// the system's store as the mail servers' is; a Winsock listener on
// 127.0.0.1 for the browser's redirect; the browser through the shell.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>
// after windows.h
#include <bcrypt.h>
#include <objbase.h>
#include <shellapi.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "app/auth/http_exchange.h"
#include "app/auth/oauth_platform.h"
#include "app/text/win32/wide_text.h"

namespace corvel {
namespace {

using Clock = std::chrono::steady_clock;

// The milliseconds from now to `deadline`, never below 0.
int MsLeft(Clock::time_point deadline) {
  return static_cast<int>(std::max<std::int64_t>(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

// The system's words for an error code, from `module` (WinHTTP's own codes)
// or the system; the number when neither has any.
std::string ErrorText(DWORD code, HMODULE module = nullptr) {
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
      (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
  const DWORD length =
      FormatMessageW(flags, module, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string message = length > 0 ? Utf8Text(std::wstring_view(text, length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "error " + std::to_string(code) : message;
}

// What a user is told of a failed WinHTTP call; `certificate` holds the
// reasons the shell gave for refusing the server's certificate.
std::string WinHttpFailure(DWORD code, DWORD certificate, int timeoutMs) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_OPERATION_CANCELLED:
    // Some WinHTTP builds (Wine's) pass on the socket's own time-out.
    case WSAETIMEDOUT:
      return "no answer within " + std::to_string(std::max(timeoutMs / 1000, 1)) + " s";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "host not found";
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return "cannot connect";
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "the connection was broken";
    case ERROR_WINHTTP_SECURE_FAILURE: {
      std::string why = "the server's certificate does not verify";
      const std::pair<DWORD, const char*> kReasons[] = {
          {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "it has expired or is not valid yet"},
          {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "host name mismatch"},
          {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "unknown issuer"},
          {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "it was revoked"},
          {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "it is invalid"},
          {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "TLS failed"}};
      const char* separator = ": ";
      for (const auto& [flag, text] : kReasons) {
        if ((certificate & flag) == 0) continue;
        why += separator;
        why += text;
        separator = ", ";
      }
      return why;
    }
    default:
      return ErrorText(code, GetModuleHandleW(L"winhttp.dll"));
  }
}

struct InternetHandle {
  HINTERNET handle = nullptr;
  explicit InternetHandle(HINTERNET h) : handle(h) {}
  ~InternetHandle() {
    if (handle != nullptr) WinHttpCloseHandle(handle);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
};

// Closes a request at its deadline, which ends the WinHTTP call waiting on
// it whatever step it is in: the per-step time-outs alone would let a
// server that trickles its answer hold the request for far longer.
class RequestWatchdog {
 public:
  RequestWatchdog(HINTERNET request, int timeoutMs)
      : thread_([this, request, timeoutMs] {
          std::unique_lock lock(mutex_);
          if (!ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return done_; })) {
            fired_ = true;
            WinHttpCloseHandle(request);
          }
        }) {}
  ~RequestWatchdog() { Stop(); }
  RequestWatchdog(const RequestWatchdog&) = delete;
  RequestWatchdog& operator=(const RequestWatchdog&) = delete;

  // Ends the watch; true when the request was closed by it.
  bool Stop() {
    {
      const std::lock_guard lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
    if (thread_.joinable()) thread_.join();
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;
};

void CALLBACK NoteSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                                DWORD length) {
  if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && length >= sizeof(DWORD)) {
    *reinterpret_cast<DWORD*>(context) = *static_cast<const DWORD*>(information);
  }
}

bool IsLoopbackHost(std::wstring_view host) {
  return host == L"127.0.0.1" || host == L"localhost" || host == L"[::1]" || host == L"::1";
}

// The request head's bytes, read within kRequestHeadTimeoutMs and before
// `deadline`; what came when the time ran out or the peer stopped.
// Nothing when the wait was cancelled meanwhile.
std::optional<std::string> ReadRequestHead(SOCKET connection, Clock::time_point deadline,
                                           const std::function<bool()>& cancelled) {
  const Clock::time_point headDeadline =
      std::min(deadline, Clock::now() + std::chrono::milliseconds(kRequestHeadTimeoutMs));
  std::string head;
  while (!RequestHeadComplete(head) && head.size() < kRequestHeadLimit) {
    const int left = MsLeft(headDeadline);
    if (cancelled && cancelled()) return std::nullopt;
    if (left == 0) break;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(connection, &readable);
    timeval slice{0, std::min(left, 100) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, &slice);
    if (ready < 0) break;
    if (ready == 0) continue;
    char buffer[2048];
    const int count = ::recv(connection, buffer, sizeof buffer, 0);
    if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (count <= 0) break;
    head.append(buffer, static_cast<std::size_t>(count));
  }
  return head;
}

void SendAndClose(SOCKET connection, const std::string& reply) {
  u_long blocking = 0;
  ::ioctlsocket(connection, FIONBIO, &blocking);
  const DWORD sendLimitMs = kRequestHeadTimeoutMs;
  ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendLimitMs),
               sizeof sendLimitMs);
  for (std::size_t sent = 0; sent < reply.size();) {
    const int count =
        ::send(connection, reply.data() + sent,
               static_cast<int>(std::min<std::size_t>(reply.size() - sent, 65536)), 0);
    if (count <= 0) break;
    sent += static_cast<std::size_t>(count);
  }
  // The reply is sent before the connection closes, and no reset throws
  // it away at the browser.
  ::shutdown(connection, SD_SEND);
  ::closesocket(connection);
}

}  // namespace

std::string SecureRandomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    throw std::runtime_error("no random bytes from the system");
  }
  return bytes;
}

std::string Sha256Digest(std::string_view data) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    throw std::runtime_error("SHA-256 is not available");
  }
  std::string digest(32, '\0');
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                            static_cast<ULONG>(data.size()), 0) == 0;
  ok = ok && BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) throw std::runtime_error("SHA-256 failed");
  return digest;
}

std::optional<UrlParts> ParseUrl(const std::string& url, std::string& why) {
  const std::wstring wide = WideText(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUserNameLength = static_cast<DWORD>(-1);
  parts.dwPasswordLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts)) {
    const DWORD error = GetLastError();
    // WinHTTP reads http and https only: another scheme is named, so that
    // the refusal says what the address is instead of that it is unreadable.
    const std::size_t colon = url.find("://");
    if (error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME && colon != std::string::npos && colon > 0) {
      UrlParts other;
      for (char c : url.substr(0, colon)) {
        other.scheme += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      }
      return other;
    }
    why = WinHttpFailure(error, 0, 0);
    return std::nullopt;
  }
  UrlParts result;
  result.scheme = parts.nScheme == INTERNET_SCHEME_HTTPS ? "https" : "http";
  std::wstring_view host(parts.lpszHostName, parts.dwHostNameLength);
  if (host.starts_with(L'[') && !host.ends_with(L']')) {
    // Wine's reading stops inside an IPv6 literal: the literal as written.
    const std::wstring_view rest =
        std::wstring_view(wide).substr(static_cast<std::size_t>(parts.lpszHostName - wide.c_str()));
    host = rest.substr(0, rest.find(L']') + 1);
  }
  result.host = Utf8Text(host);
  if (result.host.empty()) {
    why = "no host";
    return std::nullopt;
  }
  if (result.host.find(':') != std::string::npos && !result.host.starts_with('[')) {
    result.host = "[" + result.host + "]";
  }
  result.credentials = parts.dwUserNameLength > 0 || parts.dwPasswordLength > 0;
  return result;
}

HttpFormAnswer PostForm(const std::string& url, const FormFields& fields, int timeoutMs) {
  HttpFormAnswer answer;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::wstring wideUrl = WideText(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts)) {
    answer.reason = "the address cannot be read: " + WinHttpFailure(GetLastError(), 0, timeoutMs);
    return answer;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring target(parts.lpszUrlPath, parts.dwUrlPathLength);
  target.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (target.empty()) target = L"/";

  // The system's proxy, never for the loopback. WinHTTP before Windows 8.1
  // knows only the proxy set for WinHTTP itself.
  constexpr DWORD kAutomaticProxy = 4;  // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
  const bool loopback = IsLoopbackHost(host);
  InternetHandle session(WinHttpOpen(L"Corvel",
                                     loopback ? WINHTTP_ACCESS_TYPE_NO_PROXY : kAutomaticProxy,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.handle == nullptr && !loopback) {
    session.handle = WinHttpOpen(L"Corvel", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (session.handle == nullptr) {
    answer.reason = "WinHTTP cannot start: " + ErrorText(GetLastError());
    return answer;
  }
  WinHttpSetTimeouts(session.handle, timeoutMs, timeoutMs, timeoutMs, timeoutMs);
  InternetHandle connection(WinHttpConnect(session.handle, host.c_str(), parts.nPort, 0));
  const wchar_t* accept[] = {L"application/json", nullptr};
  HINTERNET request =
      connection.handle == nullptr
          ? nullptr
          : WinHttpOpenRequest(connection.handle, L"POST", target.c_str(), nullptr,
                               WINHTTP_NO_REFERER, accept,
                               parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
  if (request == nullptr) {
    answer.reason = WinHttpFailure(GetLastError(), 0, timeoutMs);
    return answer;
  }
  // The code, the verifier and the secrets go to this endpoint only: a
  // redirect is an answer like any other, never followed.
  WinHttpSetTimeouts(request, timeoutMs, timeoutMs, timeoutMs, timeoutMs);
  DWORD responseTimeout = static_cast<DWORD>(timeoutMs);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                   sizeof responseTimeout);
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  DWORD certificate = 0;
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&certificate);
  WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  WinHttpSetStatusCallback(request, NoteSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);

  std::string body = FormEncoded(fields);
  std::string received;
  long status = 0;
  DWORD failure = ERROR_SUCCESS;
  bool tooLong = false;
  RequestWatchdog watchdog(request, timeoutMs);
  const wchar_t kHeaders[] = L"Content-Type: application/x-www-form-urlencoded\r\n";
  if (!WinHttpSendRequest(request, kHeaders, static_cast<DWORD>(-1), body.data(),
                          static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    failure = GetLastError();
  } else {
    DWORD code = 0;
    DWORD size = sizeof code;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX);
    status = static_cast<long>(code);
    for (;;) {
      const int left = MsLeft(deadline);
      if (left == 0) {
        failure = ERROR_WINHTTP_TIMEOUT;
        break;
      }
      WinHttpSetTimeouts(request, left, left, left, left);
      char buffer[8192];
      DWORD count = 0;
      if (!WinHttpReadData(request, buffer, sizeof buffer, &count)) {
        failure = GetLastError();
        break;
      }
      if (count == 0) break;
      if (received.size() + count > kFormAnswerLimit) {
        tooLong = true;
        break;
      }
      received.append(buffer, count);
    }
  }
  // Secrets do not stay in memory longer than needed.
  SecureZeroMemory(body.data(), body.size());
  if (watchdog.Stop()) {
    failure = ERROR_WINHTTP_TIMEOUT;
  } else {
    WinHttpCloseHandle(request);
  }
  if (tooLong) {
    answer.reason = "the answer is longer than " + std::to_string(kFormAnswerLimit / 1024) + " KB";
    return answer;
  }
  if (failure != ERROR_SUCCESS) {
    answer.reason = WinHttpFailure(failure, certificate, timeoutMs);
    return answer;
  }
  return ReadFormAnswer(status, received);
}

bool OpenInBrowser(const std::string& url, std::string& why) {
  // The shell opens a file or starts a program as readily as it shows a
  // page: only a web address is handed to it.
  if (!url.starts_with("https://") && !url.starts_with("http://")) {
    why = "only a web address is opened in the browser";
    return false;
  }
  const std::wstring wide = WideText(url);
  // The shell's handlers may need COM on this thread.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  // No error box of the shell's own: the caller shows the address instead.
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  info.lpFile = wide.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool opened = ShellExecuteExW(&info) != FALSE;
  const DWORD error = GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  if (!opened) why = "the browser could not be started: " + ErrorText(error);
  return opened;
}

LoopbackListener::LoopbackListener() {
  WSADATA data;
  if (const int error = ::WSAStartup(MAKEWORD(2, 2), &data); error != 0) {
    throw std::runtime_error("no Winsock for the browser's redirect: " + ErrorText(error));
  }
  SOCKET listening = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const auto fail = [&listening](const char* what) {
    const std::string why = std::string(what) + ": " + ErrorText(WSAGetLastError());
    if (listening != INVALID_SOCKET) ::closesocket(listening);
    ::WSACleanup();
    throw std::runtime_error(why);
  };
  if (listening == INVALID_SOCKET) fail("no socket for the browser's redirect");
  // No program started meanwhile inherits it, and no other program can
  // bind the same port beside it to take the redirect (the authorization
  // code) for itself.
  SetHandleInformation(reinterpret_cast<HANDLE>(listening), HANDLE_FLAG_INHERIT, 0);
  const BOOL exclusive = TRUE;
  ::setsockopt(listening, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  // Non-blocking: a connection that goes between select() and accept()
  // must not leave accept() waiting.
  u_long nonBlocking = 1;
  if (::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listening, 8) != 0 ||
      ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::ioctlsocket(listening, FIONBIO, &nonBlocking) != 0) {
    fail("no listener on 127.0.0.1");
  }
  socket_ = static_cast<std::intptr_t>(listening);
  port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
  ::closesocket(static_cast<SOCKET>(socket_));
  ::WSACleanup();
}

LoopbackListener::Request LoopbackListener::Wait(
    std::string_view path, int timeoutMs,
    const std::function<Answer(const std::string& target)>& answerOf,
    const std::function<bool()>& cancelled) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::string prefix = std::string(path) + "?";
  const auto listening = static_cast<SOCKET>(socket_);
  Request request;
  while (MsLeft(deadline) > 0) {
    if (cancelled && cancelled()) {
      request.reason = std::string(kWaitCancelled);
      return request;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listening, &readable);
    timeval slice{0, std::min(MsLeft(deadline), 100) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, &slice);
    if (ready == SOCKET_ERROR) {
      request.reason = "the listener failed: " + ErrorText(WSAGetLastError());
      return request;
    }
    if (ready == 0) continue;
    const SOCKET connection = ::accept(listening, nullptr, nullptr);
    if (connection == INVALID_SOCKET) continue;
    SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
    const std::optional<std::string> head = ReadRequestHead(connection, deadline, cancelled);
    if (!head) {
      ::closesocket(connection);
      request.reason = std::string(kWaitCancelled);
      return request;
    }
    const std::string target = GetRequestTarget(*head);
    const bool matches = target.starts_with(prefix);
    const Answer answer = matches ? answerOf(target) : Answer{false, "Not found", false};
    SendAndClose(connection, LoopbackReply(!matches    ? "404 Not Found"
                                           : answer.ok ? "200 OK"
                                                       : "400 Bad Request",
                                           matches, answer.page));
    if (answer.done) {
      request.ok = true;
      request.target = target;
      return request;
    }
  }
  request.reason = "no answer from the browser within " + std::to_string(timeoutMs / 1000) + " s";
  return request;
}

}  // namespace corvel
