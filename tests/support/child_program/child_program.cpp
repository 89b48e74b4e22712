// A program for the tests that start programs, on systems without a shell:
// it does what its arguments say, in their order.
//   out TEXT   writes TEXT to standard output (\n, \r, \t and \\ stand for
//              themselves as in C)
//   err TEXT   the same to standard error
//   env FILE   writes "$CORVEL_ACCOUNT $CORVEL_COUNT $CORVEL_BYTES" and a line
//              end to FILE
//   handle N   writes "open" or "closed" and a line end to standard output:
//              whether handle number N is a handle of this program (Windows)
//   hang       never ends on its own
//   exit N     ends with status N
#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string Unescaped(const char* text) {
  std::string result;
  for (; *text != 0; ++text) {
    if (*text != '\\' || text[1] == 0) {
      result += *text;
      continue;
    }
    ++text;
    result += *text == 'n' ? '\n' : *text == 'r' ? '\r' : *text == 't' ? '\t' : *text;
  }
  return result;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "(unset)";
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string op = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (op == "out" || op == "err") {
      const std::string text = Unescaped(value);
      std::fwrite(text.data(), 1, text.size(), op == "out" ? stdout : stderr);
      std::fflush(op == "out" ? stdout : stderr);
      ++i;
    } else if (op == "env") {
      if (FILE* file = std::fopen(value, "wb")) {
        std::fprintf(file, "%s %s %s\n", Variable("CORVEL_ACCOUNT").c_str(),
                     Variable("CORVEL_COUNT").c_str(), Variable("CORVEL_BYTES").c_str());
        std::fclose(file);
      }
      ++i;
    } else if (op == "handle") {
#ifdef _WIN32
      DWORD flags = 0;
      const auto handle = reinterpret_cast<HANDLE>(std::strtoull(value, nullptr, 10));
      std::puts(::GetHandleInformation(handle, &flags) ? "open" : "closed");
      std::fflush(stdout);
#endif
      ++i;
    } else if (op == "hang") {
      for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    } else if (op == "exit") {
      return std::atoi(value);
    }
  }
  return 0;
}
