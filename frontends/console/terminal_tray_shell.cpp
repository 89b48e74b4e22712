#include "console/terminal_tray_shell.h"

namespace corvel::console {

bool TerminalTrayShell::AddIcon(const TrayEntry&) {
  if (iconShown_) return false;
  iconShown_ = true;
  return true;
}

bool TerminalTrayShell::ModifyIcon(const TrayEntry&) { return iconShown_; }

bool TerminalTrayShell::DeleteIcon() {
  const bool shown = iconShown_;
  iconShown_ = false;
  return shown;
}

bool TerminalTrayShell::ShowBalloon(const TrayBalloon& balloon) {
  if (!iconShown_) return false;
  if (OnBalloon) OnBalloon(balloon);
  return true;
}

}  // namespace corvel::console
