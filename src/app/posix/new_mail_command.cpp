// The "OnNewMail" command on POSIX: posix_spawnp, and waitpid polled by a
// loop timer while a program runs.
#include "app/new_mail_command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace corvel {

namespace {

constexpr std::uint32_t kReapIntervalMs = 200;

struct Child {
  pid_t pid;
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

  std::vector<std::string> variables = {"CORVEL_ACCOUNT=" + std::string(account),
                                        "CORVEL_COUNT=" + std::to_string(count),
                                        "CORVEL_BYTES=" + std::to_string(bytes)};
  std::vector<char*> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "CORVEL_", 7) != 0) environment.push_back(*e);
  }
  for (std::string& v : variables) environment.push_back(v.data());
  environment.push_back(nullptr);
  std::vector<std::string> argvWords = *words;
  std::vector<char*> argv;
  for (std::string& w : argvWords) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = 0;
  const int result =
      posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    Fail(account, "OnNewMail command " + argvWords[0] + " not started: " + std::strerror(result));
    return;
  }
  impl_->children.push_back(Child{pid, std::string(account), argvWords[0]});
  if (reapTimer_ == 0) reapTimer_ = loop_.StartTimer(kReapIntervalMs, [this] { Reap(); });
}

void NewMailCommand::Reap() {
  auto& children = impl_->children;
  for (std::size_t i = 0; i < children.size();) {
    int status = 0;
    const pid_t done = ::waitpid(children[i].pid, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno == EINTR)) {
      ++i;
      continue;
    }
    const Child child = children[i];
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
    if (done > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      Fail(child.account, "OnNewMail command " + child.program + " exited with status " +
                              std::to_string(WEXITSTATUS(status)));
    } else if (done > 0 && WIFSIGNALED(status)) {
      Fail(child.account, "OnNewMail command " + child.program + " ended by signal " +
                              std::to_string(WTERMSIG(status)));
    }
  }
  if (children.empty() && reapTimer_ != 0) {
    loop_.StopTimer(reapTimer_);
    reapTimer_ = 0;
  }
}

}  // namespace corvel
