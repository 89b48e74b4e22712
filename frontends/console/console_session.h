// One run of the program on the terminal: the event loop, a screenless view,
// the tray as terminal lines, the settings file, the locale of the process
// and the main window over them. Log lines, balloons and the rows added to the
// "New mail" list are printed as they happen.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "app/file_settings_store.h"
#include "app/in_memory_main_view.h"
#include "app/locale_format.h"
#include "app/main_window.h"
#include "app/tray/recording_tray_shell.h"
#include "console/commands.h"
#include "net/posix/poll_event_loop.h"

namespace corvel::console {

class ConsoleSession {
 public:
  enum class Mode {
    Program,  // the program runs until "Exit" (Ctrl-C): everything to `out`
    Check,    // one check of every account: rows to `out`, the rest to `err`
  };

  ConsoleSession(const Environment& environment, std::ostream& out, std::ostream& err, Mode mode,
                 bool forceLog, std::vector<std::string> arguments);
  ~ConsoleSession();

  // Starts the program and runs it until it exits; Ctrl-C (or SIGTERM) ends
  // it as the tray menu's "Exit" does. Returns the exit status.
  int RunProgram();
  // Checks every enabled account once and saves the accounts as "Exit" does.
  int CheckOnce(bool allMail);

  [[nodiscard]] MainWindow& Window() { return *window_; }
  [[nodiscard]] EventLoop& Loop() { return loop_; }
  [[nodiscard]] InMemoryMainView& View() { return view_; }

 private:
  void Connect();

  std::ostream& out_;
  std::ostream& err_;
  Mode mode_;
  PollEventLoop loop_;
  InMemoryMainView view_;
  RecordingTrayShell shell_;
  FileSettingsStore settings_;
  std::unique_ptr<LocaleFormat> localeFormat_;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace corvel::console
