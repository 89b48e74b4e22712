// `corvel-desktop`: Corvel on a Linux desktop — the window and the tray icon
// with Qt. `corvel` starts it when a display is there.
//   corvel-desktop [-C DIR] [--log] [--MINIMIZE]
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/settings/file_settings_store.h"
#include "app/text/posix/locale_format.h"
#include "qt/logind_sleep_watch.h"
#include "qt/qt_event_loop.h"
#include "qt/qt_main_view.h"
#include "qt/qt_tray_shell.h"
#include "qt/running_program.h"

namespace {

int gSignalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int signal) {
  // A second signal ends the program at once, should the orderly exit hang.
  std::signal(signal, SIG_DFL);
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
}

std::string ProgramPath(const char* argv0) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) self = std::filesystem::absolute(argv0, ec);
  return self.string();
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  // Every argument as given (Qt takes its own options out of argv).
  const std::vector<std::string> given(argv + 1, argv + argc);
  corvel::MainWindowOptions options;
  options.programPath = ProgramPath(argv[0]);
  // The program that lives in the tray: one per folder, which status bars
  // and scripts ask on the session bus.
  options.longRunning = true;
  options.exportBus = true;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if ((given[i] == "-C" || given[i] == "--dir") && i + 1 < given.size()) {
      std::error_code ec;
      std::filesystem::current_path(given[++i], ec);
      if (ec) {
        std::cerr << "corvel: cannot change into '" << given[i] << "': " << ec.message() << '\n';
        return 2;
      }
    } else if (given[i] == "--log") {
      options.forceLog = true;
    } else {
      options.arguments.push_back(given[i]);
    }
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Corvel"));
  QApplication::setDesktopFileName(QStringLiteral("corvel"));
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(corvel::qt::PictureIcon(corvel::TrayPicture::kApplication));

  // A second start in the same folder brings the running program's window
  // forward, and ends.
  corvel::qt::RunningProgram running(std::filesystem::current_path());
  if (running.AskToShow()) {
    std::cerr << "corvel: Corvel is already running in this folder; its window comes forward.\n";
    return 0;
  }

  corvel::qt::QtEventLoop loop;
  corvel::qt::QtMainView view;
  corvel::qt::QtTrayShell shell(loop);
  corvel::FileSettingsStore settings(corvel::FileSettingsStore::DefaultConfigFolder());
  corvel::PosixLocaleFormat localeFormat;
  corvel::MainWindow window(loop, view, shell, settings, localeFormat, std::move(options));
  view.Attach(window);
  shell.SetMenu(window.PopupMenu());

  // SIGTERM (the session ending) and Ctrl-C end the program as "Exit" does.
  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    loop.WatchSocket(gSignalPipe[0], corvel::EventLoop::kIoReadable, [&window](unsigned) {
      char buffer[16];
      while (::read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
      }
      window.Exit1Click();
    });
    std::signal(SIGINT, OnTerminationSignal);
    std::signal(SIGTERM, OnTerminationSignal);
  }

  window.FormCreate();
  // A resume told by logind, besides the one the clocks show.
  corvel::qt::LogindSleepWatch sleepWatch([&window] { window.SystemResumed(); });
  if (window.Started()) {
    running.Listen([&loop, &window] { loop.Post([&window] { window.Restore1Click(); }); });
  }
  view.show();
  // FormPaint runs at the first paint; "Exit" ends the loop.
  if (!loop.Terminated()) QApplication::exec();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return window.Exited() ? 0 : 2;
}
