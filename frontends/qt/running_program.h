// RunningProgram: one desktop program per folder, reachable by the next one
// started there. The running program listens on a local socket named after
// its folder and user; a second start finds it, asks it to bring its window
// forward, and ends, instead of only refusing to run.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>

namespace corvel::qt {

class RunningProgram final : public QObject {
 public:
  explicit RunningProgram(const std::filesystem::path& folder);

  // Asks the program running in the folder to show its window; false when
  // none answers within timeoutMs.
  [[nodiscard]] bool AskToShow(int timeoutMs = 2000) const;

  // Answers the programs started after this one (call once this program
  // holds the folder: a socket an ended program left behind is taken over).
  // onShow runs on the GUI thread for each request.
  bool Listen(std::function<void()> onShow);

  [[nodiscard]] const QString& Name() const { return name_; }

 private:
  QString name_;
  QLocalServer server_;
  std::function<void()> onShow_;
};

}  // namespace corvel::qt
