#include "app/process/mail_program.h"

#include "app/process/command_line.h"

namespace corvel {
namespace {

// A program that fails to open the mail (a browser opener that finds no
// browser) says so at once; one that runs is the mail program itself, and
// may run for hours: it is looked at seldom then.
constexpr std::uint32_t kSoonReapMs = 200;
constexpr std::uint32_t kSoonReaps = 50;
constexpr std::uint32_t kLateReapMs = 60000;

}  // namespace

MailProgram::MailProgram(EventLoop& loop) : loop_(loop) {}

MailProgram::~MailProgram() {
  if (reapTimer_ != 0) loop_.StopTimer(reapTimer_);
  for (const Child& child : children_) process::Forget(child.id);
}

void MailProgram::Fail(std::string_view text) const {
  if (OnFailure) OnFailure(text);
}

bool MailProgram::Open(std::string_view commandLine) {
  std::string error;
  const auto words = SplitCommandLine(commandLine, &error);
  if (!words) {
    Fail("Mail program not started: " + error);
    return false;
  }
  if (words->empty()) {
    Fail("No mail program is set (the setting MailProgram)");
    return false;
  }
  const std::optional<process::Id> id =
      process::StartDetached(*words, process::StartOptions{{}, true}, error);
  if (!id) {
    Fail("Mail program " + words->front() + " not started: " + error);
    return false;
  }
  children_.push_back({*id, words->front(), 0});
  if (reapTimer_ != 0 && slow_) {
    loop_.StopTimer(reapTimer_);
    reapTimer_ = 0;
  }
  if (reapTimer_ == 0) {
    slow_ = false;
    reapTimer_ = loop_.StartTimer(kSoonReapMs, [this] { Reap(); });
  }
  return true;
}

void MailProgram::Reap() {
  bool young = false;
  for (std::size_t i = 0; i < children_.size();) {
    Child& child = children_[i];
    const std::optional<process::Ending> ending = process::TryReap(child.id);
    if (!ending) {
      young = young || ++child.age < kSoonReaps;
      ++i;
      continue;
    }
    const std::string program = child.program;
    children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
    if (ending->signalled) {
      Fail("Mail program " + program + " ended by signal " + std::to_string(ending->code));
    } else if (ending->code != 0) {
      Fail("Mail program " + program + " exited with status " + std::to_string(ending->code));
    }
  }
  if (children_.empty() || (!young && !slow_)) {
    loop_.StopTimer(reapTimer_);
    reapTimer_ = 0;
    if (!children_.empty()) {
      slow_ = true;
      reapTimer_ = loop_.StartTimer(kLateReapMs, [this] { Reap(); });
    }
  }
}

}  // namespace corvel
