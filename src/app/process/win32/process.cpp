// Programs on Windows: the words quoted back into one command line the way
// the C run-time splits it again, and CreateProcessW. A captured run reads
// both pipes as they fill while it waits on the process, so a program that
// writes much to one of them cannot stall, and one that never ends is
// terminated with everything it started (its job). The child inherits
// its pipes and no other handle.
#include "app/process/process.h"

#include <windows.h>

#include <chrono>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace corvel::process {
namespace {

// The program's texts are bytes in the ANSI code page.
std::wstring Widen(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// One argument as CommandLineToArgvW and the C run-time read it back.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  for (auto it = argument.begin();; ++it) {
    std::size_t backslashes = 0;
    while (it != argument.end() && *it == L'\\') {
      ++it;
      ++backslashes;
    }
    if (it == argument.end()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    if (*it == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted.push_back(*it);
  }
  quoted.push_back(L'"');
  return quoted;
}

std::wstring CommandLine(const std::vector<std::string>& words) {
  std::wstring line;
  for (const std::string& word : words) {
    if (!line.empty()) line += L' ';
    line += Quote(Widen(word));
  }
  return line;
}

std::string SystemErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                             result.back() == ' ' || result.back() == '.')) {
    result.pop_back();
  }
  return result;
}

bool IsCorvelVariable(const wchar_t* entry) {
  const wchar_t* prefix = L"CORVEL_";
  for (; *prefix != L'\0'; ++prefix, ++entry) {
    if (std::towupper(*entry) != *prefix) return false;
  }
  return true;
}

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  [[nodiscard]] HANDLE Get() const { return handle_; }
  HANDLE* Out() { return &handle_; }
  void Reset() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Moves what a pipe holds into `sink`, up to `limit`; false once the writer
// has gone and the pipe is empty.
bool Drain(HANDLE pipe, std::string& sink, std::size_t limit) {
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) return true;
    char buffer[4096];
    DWORD count = 0;
    if (!::ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &count, nullptr)) {
      return false;
    }
    if (sink.size() < limit) sink.append(buffer, count);
  }
}

}  // namespace

std::optional<Id> StartDetached(const std::vector<std::string>& words, const StartOptions& options,
                                std::string& error) {
  std::wstring line = CommandLine(words);
  // The environment block: this process's, without CORVEL_ variables of its
  // own, then the report.
  std::wstring environment;
  if (wchar_t* block = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      if (IsCorvelVariable(entry)) continue;
      environment += entry;
      environment += L'\0';
    }
    ::FreeEnvironmentStringsW(block);
  }
  for (const std::string& variable : options.variables) {
    environment += Widen(variable);
    environment += L'\0';
  }
  environment += L'\0';

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(), nullptr,
                        &startup, &process)) {
    error = SystemErrorText(::GetLastError());
    return std::nullopt;
  }
  ::CloseHandle(process.hThread);
  return reinterpret_cast<Id>(process.hProcess);
}

std::optional<Ending> TryReap(Id id) {
  const auto process = reinterpret_cast<HANDLE>(id);
  if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) return std::nullopt;
  DWORD status = 0;
  Ending ending;
  if (::GetExitCodeProcess(process, &status)) ending.code = static_cast<int>(status);
  ::CloseHandle(process);
  return ending;
}

void Forget(Id id) { ::CloseHandle(reinterpret_cast<HANDLE>(id)); }

Captured RunCaptured(const std::vector<std::string>& words, int timeoutMs,
                     std::size_t outputLimit) {
  Captured run;
  // The child's ends are inheritable, ours are not.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle outRead, outWrite, errRead, errWrite;
  if (!::CreatePipe(outRead.Out(), outWrite.Out(), &inherit, 0) ||
      !::CreatePipe(errRead.Out(), errWrite.Out(), &inherit, 0)) {
    run.error = SystemErrorText(::GetLastError());
    return run;
  }
  ::SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);
  Handle input(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));

  // The child inherits these three handles and no other, even one that
  // another thread made inheritable for a child of its own meanwhile.
  HANDLE inherited[3] = {input.Get(), outWrite.Get(), errWrite.Get()};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> listBytes(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
  if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    run.error = SystemErrorText(::GetLastError());
    return run;
  }
  const bool listed = ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                  inherited, sizeof inherited, nullptr, nullptr);
  std::wstring line = CommandLine(words);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.Get();
  startup.StartupInfo.hStdOutput = outWrite.Get();
  startup.StartupInfo.hStdError = errWrite.Get();
  startup.lpAttributeList = list;
  // What the program starts goes into its job, to be ended with it when the
  // time is up.
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  PROCESS_INFORMATION info{};
  const bool created =
      listed && ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                 CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT,
                                 nullptr, nullptr, &startup.StartupInfo, &info);
  const DWORD createError = ::GetLastError();
  ::DeleteProcThreadAttributeList(list);
  if (!created) {
    run.error = SystemErrorText(createError);
    return run;
  }
  run.started = true;
  if (job.Get() != nullptr && !::AssignProcessToJobObject(job.Get(), info.hProcess)) job.Reset();
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  Handle process(info.hProcess);
  outWrite.Reset();
  errWrite.Reset();
  input.Reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool outOpen = true;
  bool errOpen = true;
  for (;;) {
    if (outOpen) outOpen = Drain(outRead.Get(), run.out, outputLimit);
    if (errOpen) errOpen = Drain(errRead.Get(), run.err, outputLimit);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      run.timedOut = true;
      break;
    }
    // Anonymous pipes cannot be waited on: they are looked at again every
    // few milliseconds while the program runs.
    if (::WaitForSingleObject(process.Get(), static_cast<DWORD>(std::min<long long>(left, 10))) ==
        WAIT_OBJECT_0) {
      break;
    }
  }
  if (run.timedOut) {
    if (job.Get() != nullptr) ::TerminateJobObject(job.Get(), 1);
    ::TerminateProcess(process.Get(), 1);
    ::WaitForSingleObject(process.Get(), INFINITE);
  } else {
    // What it wrote before it ended.
    if (outOpen) Drain(outRead.Get(), run.out, outputLimit);
    if (errOpen) Drain(errRead.Get(), run.err, outputLimit);
  }
  DWORD status = 0;
  if (::GetExitCodeProcess(process.Get(), &status)) run.ending.code = static_cast<int>(status);
  return run;
}

}  // namespace corvel::process
