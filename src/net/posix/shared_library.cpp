#include "net/posix/shared_library.h"

#include <dlfcn.h>

namespace corvel {
namespace {

std::string LoaderError() {
  const char* error = ::dlerror();
  return error != nullptr ? error : "no reason given";
}

}  // namespace

void* OpenSharedLibrary(const std::string& file, std::string& why) {
  void* library = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) why = LoaderError();
  return library;
}

void* SymbolFinder::Find(const char* name) {
  if (!missing_.empty()) return nullptr;
  ::dlerror();
  void* symbol = ::dlsym(library_, name);
  if (symbol == nullptr) missing_ = LoaderError();
  return symbol;
}

}  // namespace corvel
