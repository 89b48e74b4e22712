// Programs on POSIX: posix_spawnp, with the signal dispositions and the
// signal mask reset in the child (this program ignores SIGPIPE; a child must
// not inherit that). The outputs of a captured run are read through poll(),
// so a program that writes much to one of them while we wait on the other
// cannot stall; the run ends when the program itself ends, not when the last
// holder of its pipes closes them (a background child may keep them), and a
// program that never ends is killed with its whole process group.
#include "app/process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace corvel::process {
namespace {

// Where the system cannot tell a program's end through a descriptor, the
// end is looked for this often.
constexpr int kEndCheckMs = 20;

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

// What every child starts with: the default action for every signal, no
// signal blocked, and, for a captured run, a process group of its own.
class SpawnAttributes {
 public:
  explicit SpawnAttributes(bool ownGroup) {
    posix_spawnattr_init(&attributes_);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes_, &all);
    posix_spawnattr_setsigmask(&attributes_, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (ownGroup) {
      posix_spawnattr_setpgroup(&attributes_, 0);
      flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes_, flags);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  [[nodiscard]] const posix_spawnattr_t* Get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  void Open(int fd, const char* path, int flags) {
    posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0);
  }
  void Dup(int from, int to) { posix_spawn_file_actions_adddup2(&actions_, from, to); }
  [[nodiscard]] const posix_spawn_file_actions_t* Get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
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

// A descriptor that becomes readable when the process ends, where the
// system has one (Linux 5.3 and later); -1 otherwise.
int ProcessEndDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Moves what the pipe holds now into `sink`, up to `limit`; false once the
// pipe is closed or broken.
bool Drain(int fd, std::string& sink, std::size_t limit) {
  for (;;) {
    char buffer[4096];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count > 0) {
      if (sink.size() < limit) sink.append(buffer, static_cast<std::size_t>(count));
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    return count < 0 && errno == EAGAIN;
  }
}

}  // namespace

std::optional<Id> StartDetached(const std::vector<std::string>& words, const StartOptions& options,
                                std::string& error) {
  std::vector<char*> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "CORVEL_", 7) != 0) environment.push_back(*e);
  }
  std::vector<std::string> added = options.variables;
  for (std::string& v : added) environment.push_back(v.data());
  environment.push_back(nullptr);
  std::vector<std::string> argvWords = words;
  std::vector<char*> argv = Argv(argvWords);

  FileActions actions;
  actions.Open(STDIN_FILENO, "/dev/null", O_RDONLY);
  if (options.quiet) {
    actions.Open(STDOUT_FILENO, "/dev/null", O_WRONLY);
    actions.Open(STDERR_FILENO, "/dev/null", O_WRONLY);
  } else {
    actions.Dup(STDERR_FILENO, STDOUT_FILENO);
  }
  const SpawnAttributes attributes(false);
  pid_t pid = 0;
  const int result = ::posix_spawnp(&pid, argv[0], actions.Get(), attributes.Get(), argv.data(),
                                    environment.data());
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
  if (::pipe2(out.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    run.error = "no pipe";
    return run;
  }
  Fd outRead(out[0]), outWrite(out[1]);
  if (::pipe2(err.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    run.error = "no pipe";
    return run;
  }
  Fd errRead(err[0]), errWrite(err[1]);
  // The child's ends block, as a program expects of its outputs.
  for (int fd : {outWrite.Get(), errWrite.Get()}) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }

  FileActions actions;
  actions.Open(STDIN_FILENO, "/dev/null", O_RDONLY);
  actions.Dup(outWrite.Get(), STDOUT_FILENO);
  actions.Dup(errWrite.Get(), STDERR_FILENO);
  const SpawnAttributes attributes(true);
  std::vector<std::string> argvWords = words;
  std::vector<char*> argv = Argv(argvWords);
  pid_t pid = -1;
  const int spawnError =
      ::posix_spawnp(&pid, argv[0], actions.Get(), attributes.Get(), argv.data(), environ);
  if (spawnError != 0) {
    run.error = std::strerror(spawnError);
    return run;
  }
  run.started = true;
  outWrite.Reset();
  errWrite.Reset();
  const Fd ended(ProcessEndDescriptor(pid));

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::array<pollfd, 3> fds{
      {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}, {ended.Get(), POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&run.out, &run.err};
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      run.timedOut = true;
      break;
    }
    const int wait = ended.Get() >= 0 ? static_cast<int>(left)
                                      : static_cast<int>(std::min<long long>(left, kEndCheckMs));
    if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < sinks.size(); ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0 && !Drain(fds[i].fd, *sinks[i], outputLimit)) {
        fds[i].fd = -1;  // closed (the Fd objects close it)
      }
    }
  }
  if (run.timedOut) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  } else {
    // What it wrote before it ended is in the pipes now.
    for (std::size_t i = 0; i < sinks.size(); ++i) {
      if (fds[i].fd >= 0) (void)Drain(fds[i].fd, *sinks[i], outputLimit);
    }
  }
  run.ending = EndingOf(status);
  return run;
}

}  // namespace corvel::process
