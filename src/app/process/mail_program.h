// The user's mail program or webmail (the setting "MailProgram"), opened from
// a notification, the tray menu or the "New mail" list: a command line split
// into words as a shell splits them and run without a shell (sh -c '...' for
// one), e.g. "thunderbird" or "xdg-open https://mail.example.org". It is
// started without waiting for it; a failure to start, or an end with an
// error soon after, is told through OnFailure.
//
// Threads: the loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/process/process.h"
#include "net/event_loop.h"

namespace corvel {

inline constexpr std::string_view kMailProgramValueName = "MailProgram";

class MailProgram {
 public:
  explicit MailProgram(EventLoop& loop);
  ~MailProgram();
  MailProgram(const MailProgram&) = delete;
  MailProgram& operator=(const MailProgram&) = delete;

  // Starts the program of `commandLine`; false (told through OnFailure) when
  // it is empty or cannot be started.
  bool Open(std::string_view commandLine);

  // Programs started and not seen to end yet.
  [[nodiscard]] std::size_t Running() const { return children_.size(); }

  std::function<void(std::string_view text)> OnFailure;

 private:
  struct Child {
    process::Id id;
    std::string program;
    std::uint32_t age = 0;  // reaps tried
  };
  void Reap();
  void Fail(std::string_view text) const;

  EventLoop& loop_;
  std::vector<Child> children_;
  EventLoop::TimerId reapTimer_ = 0;
  bool slow_ = false;
};

}  // namespace corvel
