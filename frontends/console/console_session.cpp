#include "console/console_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <ostream>

#include "app/text/error_text.h"
#include "app/text/posix/locale_format.h"
#include "console/json_output.h"
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

constexpr std::string_view kAddAnAccount =
    "add one with corvel accounts add --name NAME --server HOST --user USER --password-stdin";

std::string WorkingFolder() {
  std::error_code ignored;
  return std::filesystem::current_path(ignored).string();
}

}  // namespace

ConsoleSession::ConsoleSession(const Environment& environment, std::ostream& out, std::ostream& err,
                               SessionOptions options)
    : out_(out), err_(err), options_(std::move(options)), settings_(environment.configFolder) {
  localeFormat_ = std::make_unique<PosixLocaleFormat>();
  MainWindowOptions windowOptions;
  windowOptions.arguments = options_.arguments;
  windowOptions.programPath = environment.programPath;
  windowOptions.forceLog = options_.forceLog && !options_.quiet;
  windowOptions.oneShot = options_.mode == SessionOptions::Mode::Check;
  windowOptions.longRunning = options_.mode == SessionOptions::Mode::Program;
  windowOptions.exportBus = windowOptions.longRunning;
  window_ = std::make_unique<MainWindow>(loop_, view_, shell_, settings_, *localeFormat_,
                                         std::move(windowOptions));
  Connect();
}

ConsoleSession::~ConsoleSession() = default;

void ConsoleSession::Connect() {
  std::ostream& notes = options_.mode == SessionOptions::Mode::Program ? out_ : err_;
  if (!options_.quiet) {
    window_->LogMemo().OnLineAppended = [&notes](const std::string& line) {
      notes << TerminalText(line) << '\n' << std::flush;
    };
    shell_.OnBalloon = [&notes](const TrayBalloon& balloon) {
      notes << "balloon: " << TerminalText(balloon.title) << ": " << TerminalText(balloon.text)
            << '\n'
            << std::flush;
    };
  }
  view_.OnError = [this](std::string_view text) {
    err_ << "corvel: " << TerminalText(text) << '\n' << std::flush;
  };
  if (options_.silent) return;
  window_->MailList().OnChanged = [this](NewMailList::Change change, std::size_t index) {
    if (change == NewMailList::Change::Appended) PrintRow(window_->MailList().Rows()[index]);
  };
  window_->OnCheckFinished = [this](const CheckReport& report) {
    if (!CheckFailed(report.outcome)) {
      toldReasons_.erase(report.account);
      return;
    }
    if (options_.mode == SessionOptions::Mode::Program) {
      const auto told = toldReasons_.find(report.account);
      if (told != toldReasons_.end() && told->second == report.reason) return;
      toldReasons_[report.account] = report.reason;
    }
    PrintFailure(report);
  };
  view_.OnInformation = [&notes](std::string_view text) {
    notes << "information: " << TerminalText(text) << '\n' << std::flush;
  };
}

void ConsoleSession::PrintRow(const MailRow& row) {
  if (options_.json) {
    out_ << RowJson(row) << '\n' << std::flush;
    return;
  }
  if (options_.mode == SessionOptions::Mode::Program) out_ << "new mail: ";
  out_ << TerminalRow(row) << '\n' << std::flush;
}

void ConsoleSession::PrintFailure(const CheckReport& report) {
  err_ << "corvel: " << TerminalText(report.account) << ": " << TerminalText(report.reason) << '\n'
       << std::flush;
  if (options_.json) out_ << FailureJson(report) << '\n' << std::flush;
}

std::size_t ConsoleSession::EnabledAccounts() {
  const AccountTable& table = window_->Table();
  std::size_t enabled = 0;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    if (table[i].IsEnabled()) ++enabled;
  }
  return enabled;
}

bool ConsoleSession::Start() {
  window_->FormCreate();
  // The error itself is already on `err`. One that start-up took in its
  // stride (a setting it could not write back) does not stop the program.
  if (!window_->Started()) return false;
  // The running program finds accounts added to the file later on.
  if (options_.mode == SessionOptions::Mode::Program) return true;
  if (window_->Table().Count() == 0) {
    err_ << "corvel: No accounts in " << WorkingFolder() << ": " << kAddAnAccount << '\n';
    return false;
  }
  if (EnabledAccounts() == 0) {
    err_ << "corvel: No enabled account in " << WorkingFolder()
         << ": enable one with corvel accounts set NAME --enabled\n";
    return false;
  }
  return true;
}

int ConsoleSession::RunProgram() {
  if (!Start()) return kExitUsage;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    err_ << "corvel: cannot set up the signal pipe\n";
    return kExitUsage;
  }
  const std::size_t enabled = EnabledAccounts();
  err_ << "corvel: running: checking " << enabled << (enabled == 1 ? " account" : " accounts")
       << " in " << WorkingFolder()
       << ", each when its interval has passed; Ctrl-C or SIGTERM stops it\n";
  if (enabled == 0) err_ << "corvel: " << kAddAnAccount << " (it is found while running)\n";
  err_ << std::flush;

  gSignalPipe = pipeFds[1];
  loop_.WatchSocket(pipeFds[0], EventLoop::kIoReadable, [this, fd = pipeFds[0]](unsigned) {
    char buffer[16];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    window_->Exit1Click();
    if (window_->Exited()) return;
    // The exit stopped at a save that failed (its reason is on `err`): on a
    // terminal there is no window to keep showing it, and a program that
    // ignored Ctrl-C would keep the folder from the next one.
    err_ << "corvel: stopping without saving the accounts\n" << std::flush;
    loop_.Terminate();
  });
  std::signal(SIGINT, OnTerminationSignal);
  std::signal(SIGTERM, OnTerminationSignal);

  window_->FormPaint();
  // Asleep until an account is due, a signal comes or the accounts change.
  loop_.Run();

  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  gSignalPipe = -1;
  loop_.UnwatchSocket(pipeFds[0]);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  return window_->Exited() ? kExitOk : kExitUsage;
}

int ConsoleSession::CheckOnce(bool allMail) {
  if (!Start()) return kExitUsage;
  // For this run only: the stored setting stays as it is.
  if (allMail) view_.SetChecked(Control::AllMailChkBx, true);
  std::vector<CheckReport> reports;
  return CheckReports(reports);
}

int ConsoleSession::CheckReports(std::vector<CheckReport>& reports) {
  if (!window_->Started() && !Start()) return kExitUsage;
  try {
    reports = window_->CheckAllNow();
    window_->SaveAccountTable();
  } catch (const std::exception& e) {
    err_ << "corvel: " << TerminalText(DescribeError(e)) << '\n';
    return kExitUsage;
  }
  for (const CheckReport& report : reports) {
    if (CheckFailed(report.outcome)) return kExitCheckFailed;
  }
  return kExitOk;
}

}  // namespace corvel::console
