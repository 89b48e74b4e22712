// Libraries opened while the program runs (dlopen), so that it loads them
// only when something needs them: OpenSSL, libcurl, the GLib module.
#pragma once

#include <string>

namespace corvel {

// Opens `file` for the rest of the process, its symbols bound now and kept
// to themselves (RTLD_NOW | RTLD_LOCAL); nullptr, with the loader's reason in
// `why`, when it cannot.
[[nodiscard]] void* OpenSharedLibrary(const std::string& file, std::string& why);

// Looks up a set of functions in an opened library, each into its pointer,
// and stops at the first that is missing, keeping the loader's reason.
class SymbolFinder {
 public:
  explicit SymbolFinder(void* library) : library_(library) {}

  template <typename Function>
  void operator()(Function& function, const char* name) {
    if (void* symbol = Find(name)) function = reinterpret_cast<Function>(symbol);
  }
  // Why a function was not found; empty while every one was.
  [[nodiscard]] const std::string& Missing() const { return missing_; }

 private:
  void* Find(const char* name);

  void* library_;
  std::string missing_;
};

}  // namespace corvel
