// libcurl, loaded when the program first needs it rather than when it
// starts. Only the OAuth2 token endpoint and the URL checks of the OAuth2
// settings use it, and its tree of libraries (Kerberos, LDAP, SASL, SSH,
// HTTP/2, IDN ...) would cost every start of the program several
// milliseconds of dynamic loading, a check of a password account included.
// The types and constants stay <curl/curl.h>'s; only the functions are found
// at run time.
#pragma once

#include <curl/curl.h>

#include <string>

namespace corvel {

// The functions of libcurl the program calls, typed as <curl/curl.h>
// declares them. curl_easy_setopt and curl_easy_getinfo keep their variadic
// type: a call through these pointers passes its arguments as a direct call
// would.
struct CurlLibrary {
  bool loaded = false;
  std::string reason;  // when not loaded: why, naming the library

  decltype(&curl_global_init) global_init = nullptr;
  decltype(&curl_easy_init) easy_init = nullptr;
  decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&curl_easy_setopt) easy_setopt = nullptr;
  decltype(&curl_easy_perform) easy_perform = nullptr;
  decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&curl_easy_strerror) easy_strerror = nullptr;
  decltype(&curl_slist_append) slist_append = nullptr;
  decltype(&curl_slist_free_all) slist_free_all = nullptr;
  decltype(&curl_url) url = nullptr;
  decltype(&curl_url_cleanup) url_cleanup = nullptr;
  decltype(&curl_url_set) url_set = nullptr;
  decltype(&curl_url_get) url_get = nullptr;
  decltype(&curl_url_strerror) url_strerror = nullptr;
  decltype(&curl_free) free = nullptr;
};

// The file libcurl is loaded from, as dlopen() looks it up: libcurl's
// run-time name.
inline constexpr char kCurlLibraryFile[] = "libcurl.so.4";

// libcurl, loaded at the first call (once per process, safe on any thread):
// all of its functions, or none and `reason` when the library or one of its
// functions cannot be found. curl_global_init is left to the caller.
[[nodiscard]] const CurlLibrary& Curl();

// Loads libcurl from `file` instead of kCurlLibraryFile; for tests, which
// point it at a file that does not exist. Has no effect after the first
// Curl().
void SetCurlLibraryFile(std::string file);

}  // namespace corvel
