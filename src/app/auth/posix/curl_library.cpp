#include "app/auth/posix/curl_library.h"

#include <dlfcn.h>

#include <utility>

#include "net/posix/shared_library.h"

namespace corvel {
namespace {

std::string& LibraryFile() {
  static std::string file = kCurlLibraryFile;
  return file;
}

// libcurl's functions from the library at `file`, all of them or none (with
// the reason). A loaded library stays for the rest of the process: libcurl
// keeps global state once initialised.
CurlLibrary Load(const std::string& file) {
  const std::string failed = "libcurl (" + file + ") could not be loaded: ";
  CurlLibrary curl;
  std::string why;
  void* library = OpenSharedLibrary(file, why);
  if (library == nullptr) {
    curl.reason = failed + why;
    return curl;
  }
  SymbolFinder find(library);
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
  if (!find.Missing().empty()) {
    // Half a set of functions is never handed out.
    ::dlclose(library);
    CurlLibrary none;
    none.reason = failed + find.Missing();
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
