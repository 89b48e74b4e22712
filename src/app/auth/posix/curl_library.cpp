#include "app/auth/posix/curl_library.h"

#include <dlfcn.h>

#include <type_traits>
#include <utility>

namespace corvel {
namespace {

std::string& LibraryFile() {
  static std::string file = kCurlLibraryFile;
  return file;
}

std::string LoadError() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "no reason given";
}

// libcurl's functions from the library at `file`, all of them or none (with
// the reason). A loaded library stays for the rest of the process: libcurl
// keeps global state once initialised.
CurlLibrary Load(const std::string& file) {
  const std::string failed = "libcurl (" + file + ") could not be loaded: ";
  CurlLibrary curl;
  void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    curl.reason = failed + LoadError();
    return curl;
  }
  std::string missing;
  const auto find = [&](auto& function, const char* name) {
    if (!missing.empty()) return;
    ::dlerror();
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
      missing = LoadError();
      return;
    }
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(symbol);
  };
  find(curl.global_init, "curl_global_init");
  find(curl.easy_init, "curl_easy_init");
  find(curl.easy_cleanup, "curl_easy_cleanup");
  find(curl.easy_setopt, "curl_easy_setopt");
  find(curl.easy_perform, "curl_easy_perform");
  find(curl.easy_getinfo, "curl_easy_getinfo");
  find(curl.easy_strerror, "curl_easy_strerror");
  find(curl.slist_append, "curl_slist_append");
  find(curl.slist_free_all, "curl_slist_free_all");
  find(curl.url, "curl_url");
  find(curl.url_cleanup, "curl_url_cleanup");
  find(curl.url_set, "curl_url_set");
  find(curl.url_get, "curl_url_get");
  find(curl.url_strerror, "curl_url_strerror");
  find(curl.free, "curl_free");
  if (!missing.empty()) {
    // Half a set of functions is never handed out.
    ::dlclose(library);
    CurlLibrary none;
    none.reason = failed + missing;
    return none;
  }
  curl.loaded = true;
  return curl;
}

}  // namespace

const CurlLibrary& Curl() {
  static const CurlLibrary curl = Load(LibraryFile());
  return curl;
}

void SetCurlLibraryFile(std::string file) { LibraryFile() = std::move(file); }

}  // namespace corvel
