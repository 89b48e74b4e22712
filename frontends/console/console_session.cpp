#include "console/console_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <ostream>

#include "app/posix/locale_format.h"
#include "console/terminal_text.h"

namespace corvel::console {

namespace {

// The write end of the pipe the signal handler wakes the loop through.
volatile std::sig_atomic_t gSignalPipe = -1;

extern "C" void OnTerminationSignal(int signal) {
  // A second Ctrl-C ends the program at once, should the orderly exit hang.
  std::signal(signal, SIG_DFL);
  const int fd = gSignalPipe;
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
}

}  // namespace

ConsoleSession::ConsoleSession(const Environment& environment, std::ostream& out, std::ostream& err,
                               Mode mode, bool forceLog, std::vector<std::string> arguments)
    : out_(out), err_(err), mode_(mode), settings_(environment.configFolder) {
  localeFormat_ = std::make_unique<PosixLocaleFormat>();
  MainWindowOptions options;
  options.arguments = std::move(arguments);
  options.programPath = environment.programPath;
  options.forceLog = forceLog;
  options.oneShot = mode == Mode::Check;
  options.longRunning = mode == Mode::Program;
  window_ = std::make_unique<MainWindow>(loop_, view_, shell_, settings_, *localeFormat_,
                                         std::move(options));
  Connect();
}

ConsoleSession::~ConsoleSession() = default;

void ConsoleSession::Connect() {
  std::ostream& notes = mode_ == Mode::Program ? out_ : err_;
  window_->LogMemo().OnLineAppended = [&notes](const std::string& line) {
    notes << TerminalText(line) << '\n' << std::flush;
  };
  window_->MailList().OnChanged = [this](NewMailList::Change change, std::size_t index) {
    if (change != NewMailList::Change::Appended) return;
    const std::string line = TerminalRow(window_->MailList().Rows()[index]);
    if (mode_ == Mode::Program) {
      out_ << "new mail: " << line << '\n' << std::flush;
    } else {
      out_ << line << '\n' << std::flush;
    }
  };
  shell_.OnCall = [&notes](const TrayShellCall& call) {
    if (call.kind != TrayShellCallKind::kShowBalloon) return;
    notes << "balloon: " << TerminalText(call.balloon.title) << ": "
          << TerminalText(call.balloon.text) << '\n'
          << std::flush;
  };
  view_.OnError = [this](std::string_view text) {
    err_ << "error: " << text << '\n' << std::flush;
  };
  view_.OnInformation = [&notes](std::string_view text) {
    notes << "information: " << text << '\n' << std::flush;
  };
}

int ConsoleSession::RunProgram() {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    err_ << "corvel: cannot set up the signal pipe\n";
    return kExitUsage;
  }
  gSignalPipe = pipeFds[1];
  loop_.WatchSocket(pipeFds[0], EventLoop::kIoReadable, [this, fd = pipeFds[0]](unsigned) {
    char buffer[16];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    window_->Exit1Click();
  });
  std::signal(SIGINT, OnTerminationSignal);
  std::signal(SIGTERM, OnTerminationSignal);

  window_->FormCreate();
  window_->FormPaint();
  while (!loop_.Terminated()) loop_.ProcessEvents(1000);

  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  gSignalPipe = -1;
  loop_.UnwatchSocket(pipeFds[0]);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  return window_->Exited() ? kExitOk : kExitUsage;
}

int ConsoleSession::CheckOnce(bool allMail) {
  window_->FormCreate();
  // An error that start-up took in its stride (a setting it could not write
  // back) does not stop the check.
  if (!window_->Started()) return kExitUsage;
  // For this run only: the stored setting stays as it is.
  if (allMail) view_.SetChecked(Control::AllMailChkBx, true);
  std::vector<CheckOutcome> outcomes;
  try {
    outcomes = window_->CheckAllNow();
    window_->SaveAccountTable();
  } catch (const std::exception& e) {
    err_ << "error: " << e.what() << '\n';
    return kExitUsage;
  }
  for (CheckOutcome outcome : outcomes) {
    if (outcome != CheckOutcome::Checked && outcome != CheckOutcome::MethodDiscovered) {
      return kExitCheckFailed;
    }
  }
  return kExitOk;
}

}  // namespace corvel::console
