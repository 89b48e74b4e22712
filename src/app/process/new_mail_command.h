// The command the user wants run when new mail is reported (the setting
// "OnNewMail"). The setting holds a command line that is split into words as
// a POSIX shell splits them (app/process/command_line.h) and run without a
// shell. Whoever wants a shell asks for one: sh -c '...'.
//
// The program gets the account's name, the number of new messages and their
// size in bytes in CORVEL_ACCOUNT, CORVEL_COUNT and CORVEL_BYTES. It is
// started and reaped without ever blocking the check: its standard input is
// empty, its standard output goes where the program's standard error goes
// (so that it never mixes into machine-readable output), and a failure to
// start, a non-zero exit status or a signal is told through OnFailure, never
// raised.
//
// Threads: the loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/event_loop.h"

namespace corvel {

class NewMailCommand {
 public:
  // account, and the text of what went wrong.
  using FailureEvent = std::function<void(std::string_view account, std::string_view text)>;

  explicit NewMailCommand(EventLoop& loop);
  ~NewMailCommand();
  NewMailCommand(const NewMailCommand&) = delete;
  NewMailCommand& operator=(const NewMailCommand&) = delete;

  // Starts `commandLine` for a report of `count` new messages of `bytes`
  // bytes on `account`. Returns at once; nothing happens for an empty line,
  // and nothing but a failure told while the program started for the same
  // account before still runs.
  void Run(std::string_view commandLine, std::string_view account, std::int64_t count,
           std::int64_t bytes);

  // Programs started and not yet reaped.
  [[nodiscard]] std::size_t Running() const;

  FailureEvent OnFailure;

 private:
  struct Impl;
  void Fail(std::string_view account, std::string_view text) const;
  void Reap();

  EventLoop& loop_;
  std::unique_ptr<Impl> impl_;
  EventLoop::TimerId reapTimer_ = 0;
};

}  // namespace corvel
