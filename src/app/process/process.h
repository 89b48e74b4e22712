// Running the user's programs without a shell: the little the token command
// and the "OnNewMail" command need from the system, on POSIX
// (posix/process.cpp: posix_spawnp, pipes, waitpid) and on Windows
// (win32/process.cpp: CreateProcessW, pipes, the process handle). The words
// are the program and its arguments; the program is looked up in PATH.
//
// Threads: any; nothing here is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvel::process {

// How a program ended.
struct Ending {
  bool signalled = false;  // ended by a signal (POSIX)
  int code = 0;            // its exit status, or the signal's number
};

// A started program, until TryReap has seen its end.
using Id = std::intptr_t;

// Every program starts with the signals at their defaults and none blocked
// (POSIX), whatever this program ignores or blocks, and with no descriptor
// or handle of this program's but the ones named here.

struct StartOptions {
  // Added to this program's environment (without its own CORVEL_ variables),
  // as "NAME=value".
  std::vector<std::string> variables;
  // Both outputs to the null device; otherwise standard output goes where
  // this program's standard error goes.
  bool quiet = false;
};

// Starts `words` with standard input from the null device and returns at
// once. Nothing, with the system's reason in `error`, when it cannot be
// started.
[[nodiscard]] std::optional<Id> StartDetached(const std::vector<std::string>& words,
                                              const StartOptions& options, std::string& error);
// The program's end once it has ended (and `id` is spent); nothing while it
// runs.
[[nodiscard]] std::optional<Ending> TryReap(Id id);
// Lets a program run on without anyone waiting for it (`id` is spent).
void Forget(Id id);

struct Captured {
  bool started = false;
  std::string error;      // why it did not start
  bool timedOut = false;  // killed when the time was up
  Ending ending;
  std::string out;  // standard output, at most the limit
  std::string err;  // standard error, at most the limit
};

// Runs `words` with standard input from the null device and both outputs
// read, until the program itself ends (what it left running in the
// background may go on) or for at most `timeoutMs` milliseconds; then the
// program and whatever it started are killed (its process group on POSIX,
// its job on Windows). What comes beyond `outputLimit` bytes is read and
// dropped.
[[nodiscard]] Captured RunCaptured(const std::vector<std::string>& words, int timeoutMs,
                                   std::size_t outputLimit);

}  // namespace corvel::process
