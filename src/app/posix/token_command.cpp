// The token command on POSIX: posix_spawnp with both output pipes read
// through poll(), so a command that writes much to one of them while we wait
// on the other cannot stall, and a command that never ends is killed.
#include "app/token_command.h"

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
#include <stdexcept>

#include "pop3/pop3_auth.h"

extern char** environ;

namespace corvel {
namespace {

// More than any token; what comes beyond is read and dropped.
constexpr std::size_t kOutputLimit = 64 * 1024;

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

std::string FirstLine(const std::string& text) {
  const std::size_t end = text.find('\n');
  std::string line = text.substr(0, end);
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const std::size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

TokenCommandResult Failure(std::string reason) { return {false, {}, std::move(reason)}; }

}  // namespace

TokenCommandResult RunTokenCommand(std::string_view commandLine, int timeoutMs) {
  std::vector<std::string> words;
  try {
    words = SplitCommandLine(commandLine);
  } catch (const std::invalid_argument& e) {
    return Failure(std::string("Token command cannot be read: ") + e.what());
  }
  if (words.empty()) return Failure("Token command is empty");

  std::array<int, 2> out{-1, -1};
  std::array<int, 2> err{-1, -1};
  if (::pipe2(out.data(), O_CLOEXEC) != 0) return Failure("Token command: no pipe");
  Fd outRead(out[0]), outWrite(out[1]);
  if (::pipe2(err.data(), O_CLOEXEC) != 0) return Failure("Token command: no pipe");
  Fd errRead(err[0]), errWrite(err[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawnError = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    return Failure("Token command '" + words[0] +
                   "' could not be started: " + std::strerror(spawnError));
  }
  outWrite.Reset();
  errWrite.Reset();

  std::string output;
  std::string errors;
  bool timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::array<pollfd, 2> fds{{{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&output, &errors};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        if (sinks[i]->size() < kOutputLimit) sinks[i]->append(buffer, static_cast<size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        fds[i].fd = -1;  // closed (the Fd objects close it)
      }
    }
  }
  // A command may close its output and still go on: its end is awaited
  // within the same time.
  int status = 0;
  while (!timedOut) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      break;
    }
    ::poll(nullptr, 0, 10);
  }
  if (timedOut) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (timedOut) {
    const std::string limit = timeoutMs % 1000 == 0 ? std::to_string(timeoutMs / 1000) + " seconds"
                                                    : std::to_string(timeoutMs) + " ms";
    return Failure("Token command did not finish within " + limit);
  }
  const std::string errorLine = PrintableAscii(FirstLine(errors), 300);
  const std::string said = errorLine.empty() ? "" : ": " + errorLine;
  if (WIFSIGNALED(status)) {
    return Failure("Token command ended by signal " + std::to_string(WTERMSIG(status)) + said);
  }
  if (WEXITSTATUS(status) != 0) {
    return Failure("Token command failed with exit status " + std::to_string(WEXITSTATUS(status)) +
                   said);
  }
  std::string token = FirstLine(output);
  if (token.empty()) return Failure("Token command printed no token" + said);
  return {true, std::move(token), {}};
}

}  // namespace corvel
