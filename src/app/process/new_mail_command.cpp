#include "app/process/new_mail_command.h"

#include "app/process/command_line.h"
#include "app/process/process.h"

namespace corvel {

namespace {

constexpr std::uint32_t kReapIntervalMs = 200;

struct Child {
  process::Id id;
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
  for (const Child& child : impl_->children) process::Forget(child.id);
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
  // A program that never ends must not be joined by another one at every
  // report: while the one started for this account runs, none is started.
  Reap();
  for (const Child& child : impl_->children) {
    if (child.account == account) {
      Fail(account,
           "OnNewMail command not run: the one started before (" + child.program + ") still runs");
      return;
    }
  }
  process::StartOptions options;
  options.variables = {"CORVEL_ACCOUNT=" + std::string(account),
                       "CORVEL_COUNT=" + std::to_string(count),
                       "CORVEL_BYTES=" + std::to_string(bytes)};
  const std::optional<process::Id> id = process::StartDetached(*words, options, error);
  if (!id) {
    Fail(account, "OnNewMail command " + words->front() + " not started: " + error);
    return;
  }
  impl_->children.push_back(Child{*id, std::string(account), words->front()});
  if (reapTimer_ == 0) reapTimer_ = loop_.StartTimer(kReapIntervalMs, [this] { Reap(); });
}

void NewMailCommand::Reap() {
  auto& children = impl_->children;
  for (std::size_t i = 0; i < children.size();) {
    const std::optional<process::Ending> ending = process::TryReap(children[i].id);
    if (!ending) {
      ++i;
      continue;
    }
    const Child child = children[i];
    children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
    if (ending->signalled) {
      Fail(child.account, "OnNewMail command " + child.program + " ended by signal " +
                              std::to_string(ending->code));
    } else if (ending->code != 0) {
      Fail(child.account, "OnNewMail command " + child.program + " exited with status " +
                              std::to_string(ending->code));
    }
  }
  if (children.empty() && reapTimer_ != 0) {
    loop_.StopTimer(reapTimer_);
    reapTimer_ = 0;
  }
}

}  // namespace corvel
