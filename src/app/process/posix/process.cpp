// Programs on POSIX: posix_spawnp; the outputs of a captured run read
// through poll(), so a program that writes much to one of them while we wait
// on the other cannot stall, and one that never ends is killed.
#include "app/process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace corvel::process {
namespace {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::vector<char*> Argv(std::vector<std::string>& words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

Ending EndingOf(int status) {
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WIFEXITED(status) ? WEXITSTATUS(status) : 0};
}

}  // namespace

std::optional<Id> StartDetached(const std::vector<std::string>& words,
                                const std::vector<std::string>& variables, std::string& error) {
  std::vector<char*> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "CORVEL_", 7) != 0) environment.push_back(*e);
  }
  std::vector<std::string> added = variables;
  for (std::string& v : added) environment.push_back(v.data());
  environment.push_back(nullptr);
  std::vector<std::string> argvWords = words;
  std::vector<char*> argv = Argv(argvWords);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  pid_t pid = 0;
  const int result =
      ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    error = std::strerror(result);
    return std::nullopt;
  }
  return static_cast<Id>(pid);
}

std::optional<Ending> TryReap(Id id) {
  int status = 0;
  const pid_t done = ::waitpid(static_cast<pid_t>(id), &status, WNOHANG);
  if (done == 0 || (done < 0 && errno == EINTR)) return std::nullopt;
  // A child that cannot be waited for any more has ended unseen.
  if (done < 0) return Ending{};
  return EndingOf(status);
}

void Forget(Id /*id*/) {}

Captured RunCaptured(const std::vector<std::string>& words, int timeoutMs,
                     std::size_t outputLimit) {
  Captured run;
  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  if (::pipe2(out.data(), O_CLOEXEC) != 0) {
    run.error = "no pipe";
    return run;
  }
  Fd outRead(out[0]), outWrite(out[1]);
  if (::pipe2(err.data(), O_CLOEXEC) != 0) {
    run.error = "no pipe";
    return run;
  }
  Fd errRead(err[0]), errWrite(err[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  std::vector<std::string> argvWords = words;
  std::vector<char*> argv = Argv(argvWords);
  pid_t pid = -1;
  const int spawnError = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    run.error = std::strerror(spawnError);
    return run;
  }
  run.started = true;
  outWrite.Reset();
  errWrite.Reset();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::array<pollfd, 2> fds{{{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&run.out, &run.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      run.timedOut = true;
      break;
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        if (sinks[i]->size() < outputLimit) sinks[i]->append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        fds[i].fd = -1;  // closed (the Fd objects close it)
      }
    }
  }
  // A program may close its output and still go on: its end is awaited
  // within the same time.
  int status = 0;
  while (!run.timedOut) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      run.timedOut = true;
      break;
    }
    ::poll(nullptr, 0, 10);
  }
  if (run.timedOut) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  run.ending = EndingOf(status);
  return run;
}

}  // namespace corvel::process
