// One run of the program on the terminal: the event loop, a screenless view,
// the tray as terminal lines, the settings file, the locale of the process
// and the main window over them. Log lines, balloons, the rows added to the
// "New mail" list and the reason of every failed check are printed as they
// happen.
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/file_settings_store.h"
#include "app/text/locale_format.h"
#include "console/commands.h"
#include "console/terminal_tray_shell.h"
#include "net/posix/poll_event_loop.h"

namespace corvel::console {

struct SessionOptions {
  enum class Mode {
    Program,  // the program runs until "Exit" (Ctrl-C): log and rows to `out`
    Check,    // one check of every account: rows to `out`, the rest to `err`
  };
  Mode mode = Mode::Check;
  // Log lines whatever the "Log" setting says (--log).
  bool forceLog = false;
  // No log lines and no balloons (--quiet); failure reasons stay.
  bool quiet = false;
  // Rows and failures as JSON objects, one a line, on `out` (--json).
  bool json = false;
  // Nothing printed but errors: the caller reads the reports (status).
  bool silent = false;
  // The command-line arguments, for the window's first paint.
  std::vector<std::string> arguments;
};

class ConsoleSession {
 public:
  ConsoleSession(const Environment& environment, std::ostream& out, std::ostream& err,
                 SessionOptions options);
  ~ConsoleSession();

  // Starts the program and runs it until it exits; Ctrl-C (or SIGTERM) ends
  // it as the tray menu's "Exit" does. Returns the exit status: 2 when the
  // save at exit failed (the reason is on `err`; the program ends all the
  // same).
  int RunProgram();
  // Checks every enabled account once and saves the accounts as "Exit" does.
  int CheckOnce(bool allMail);
  // Checks every enabled account once, as CheckOnce does, and hands over the
  // reports; the exit status.
  int CheckReports(std::vector<CheckReport>& reports);

  [[nodiscard]] MainWindow& Window() { return *window_; }
  [[nodiscard]] EventLoop& Loop() { return loop_; }
  [[nodiscard]] InMemoryMainView& View() { return view_; }

 private:
  void Connect();
  void PrintRow(const MailRow& row);
  void PrintFailure(const CheckReport& report);
  // Starts the window; false (after saying why on `err`) when start-up failed
  // or, for a check, there is no enabled account to check.
  bool Start();
  [[nodiscard]] std::size_t EnabledAccounts();

  std::ostream& out_;
  std::ostream& err_;
  SessionOptions options_;
  PollEventLoop loop_;
  InMemoryMainView view_;
  TerminalTrayShell shell_;
  FileSettingsStore settings_;
  std::unique_ptr<LocaleFormat> localeFormat_;
  std::unique_ptr<MainWindow> window_;
  // The running program tells a failing account's reason once, until the
  // account is checked without failing or the reason changes.
  std::map<std::string, std::string> toldReasons_;
};

}  // namespace corvel::console
