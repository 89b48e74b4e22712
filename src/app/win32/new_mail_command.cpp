// The "OnNewMail" command on Windows: the words quoted back into one command
// line the way the C run-time splits it again, CreateProcessW, and the
// process handle polled by a loop timer while the program runs.
#include "app/new_mail_command.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>

namespace corvel {

namespace {

constexpr std::uint32_t kReapIntervalMs = 200;

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

struct Child {
  HANDLE process;
  std::string account;
  std::string program;
};

}  // namespace

struct NewMailCommand::Impl {
  std::vector<Child> children;
};

NewMailCommand::NewMailCommand(EventLoop& loop) : loop_(loop), impl_(std::make_unique<Impl>()) {}

NewMailCommand::~NewMailCommand() {
  // Programs still running are left to finish on their own.
  if (reapTimer_ != 0) loop_.StopTimer(reapTimer_);
  for (const Child& child : impl_->children) ::CloseHandle(child.process);
}

std::size_t NewMailCommand::Running() const { return impl_->children.size(); }

void NewMailCommand::Fail(std::string_view account, std::string_view text) const {
  if (OnFailure) OnFailure(account, text);
}

void NewMailCommand::Run(std::string_view commandLine, std::string_view account, std::int64_t count,
                         std::int64_t bytes) {
  std::string error;
  const auto words = SplitCommandLine(commandLine, &error);
  if (!words) {
    Fail(account, "OnNewMail command not run: " + error);
    return;
  }
  if (words->empty()) return;

  std::wstring line;
  for (const std::string& word : *words) {
    if (!line.empty()) line += L' ';
    line += Quote(Widen(word));
  }
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
  for (const std::string& variable :
       {"CORVEL_ACCOUNT=" + std::string(account), "CORVEL_COUNT=" + std::to_string(count),
        "CORVEL_BYTES=" + std::to_string(bytes)}) {
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
    Fail(account, "OnNewMail command " + words->front() +
                      " not started: " + SystemErrorText(::GetLastError()));
    return;
  }
  ::CloseHandle(process.hThread);
  impl_->children.push_back(Child{process.hProcess, std::string(account), words->front()});
  if (reapTimer_ == 0) reapTimer_ = loop_.StartTimer(kReapIntervalMs, [this] { Reap(); });
}

void NewMailCommand::Reap() {
  auto& children = impl_->children;
  for (std::size_t i = 0; i < children.size();) {
    if (::WaitForSingleObject(children[i].process, 0) != WAIT_OBJECT_0) {
      ++i;
      continue;
    }
    const Child child = children[i];
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
    DWORD status = 0;
    if (::GetExitCodeProcess(child.process, &status) && status != 0) {
      Fail(child.account,
           "OnNewMail command " + child.program + " exited with status " + std::to_string(status));
    }
    ::CloseHandle(child.process);
  }
  if (children.empty() && reapTimer_ != 0) {
    loop_.StopTimer(reapTimer_);
    reapTimer_ = 0;
  }
}

}  // namespace corvel
