// TrayWindow: what the tray icon component does to the main window. The
// main window's view implements it.
//
// "Task-bar button" stands for whatever shows a hidden-or-shown program in
// the platform's task switcher; a platform without such a thing answers
// TaskbarButtonVisible() with false and does nothing in the other two.
#pragma once

namespace corvel {

class TrayWindow {
 public:
  virtual ~TrayWindow() = default;

  virtual void HideMainWindow() = 0;
  virtual void ShowMainWindow() = 0;

  virtual void HideTaskbarButton() = 0;
  virtual void ShowTaskbarButton() = 0;
  [[nodiscard]] virtual bool TaskbarButtonVisible() const = 0;

  [[nodiscard]] virtual bool IsMinimized() const = 0;
  // Un-minimises the main window (neither minimised nor maximised).
  virtual void MakeNormal() = 0;

  // Brings the application and then its main window to the foreground.
  virtual void BringToForeground() = 0;
};

}  // namespace corvel
