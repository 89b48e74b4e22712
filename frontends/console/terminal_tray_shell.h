// The console's notification area: a terminal has none, so the entry lives
// only as state (so the tray icon's add, modify and delete behave as on a
// desktop), and a balloon becomes a line the session prints. Nobody can
// click a terminal's tray: no mouse action and no menu ever come from it.
#pragma once

#include <cstdint>
#include <functional>

#include "app/tray/tray_shell.h"

namespace corvel::console {

class TerminalTrayShell final : public TrayShell {
 public:
  [[nodiscard]] bool AddIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool ModifyIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool DeleteIcon() override;
  [[nodiscard]] bool RemoveBalloon() override { return iconShown_; }
  [[nodiscard]] bool ShowBalloon(const TrayBalloon& balloon) override;
  void ShowPopupMenu(const TrayMenu&, TrayPoint) override {}
  [[nodiscard]] std::uint32_t DoubleClickTime() const override { return 500; }
  void BringToForeground() override {}

  // Fired for each balloon shown.
  std::function<void(const TrayBalloon& balloon)> OnBalloon;

 private:
  bool iconShown_ = false;
};

}  // namespace corvel::console
