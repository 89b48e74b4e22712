// Win32TrayShell: the notification-area icon through Shell_NotifyIcon. The
// shell's callback message, its balloons, the pop-up menu and the shell's
// restart ("TaskbarCreated") arrive at a hidden window of the shell's own.
#pragma once

#include <windows.h>
// After <windows.h>.
#include <shellapi.h>

#include <array>

#include "app/tray/tray_shell.h"
#include "net/event_loop.h"

namespace corvel::win32 {

// The callback message of the notification entry.
inline constexpr UINT kTrayCallbackMessage = 2048;

// The program's pictures from its resources, at the small-icon size:
// index by TrayPicture.
using TrayIcons = std::array<HICON, 5>;

class Win32TrayShell final : public TrayShell {
 public:
  // Throws std::system_error when the hidden window cannot be made.
  Win32TrayShell(EventLoop& loop, HINSTANCE instance, TrayIcons icons);
  ~Win32TrayShell() override;
  Win32TrayShell(const Win32TrayShell&) = delete;
  Win32TrayShell& operator=(const Win32TrayShell&) = delete;

  [[nodiscard]] bool AddIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool ModifyIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool DeleteIcon() override;
  [[nodiscard]] bool RemoveBalloon() override;
  [[nodiscard]] bool ShowBalloon(const TrayBalloon& balloon) override;
  void ShowPopupMenu(const TrayMenu& menu, TrayPoint position) override;
  [[nodiscard]] std::uint32_t DoubleClickTime() const override;
  void BringToForeground() override;

  // The hidden window's work; called by its window procedure only.
  LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
  [[nodiscard]] HWND Handle() const { return hwnd_; }

 private:
  [[nodiscard]] NOTIFYICONDATAW Data(const TrayEntry& entry) const;
  void Tell(TrayMouseAction action);

  EventLoop& loop_;
  TrayIcons icons_;
  HWND hwnd_ = nullptr;
  UINT taskbarCreated_ = 0;
  TrayEntry entry_;
};

}  // namespace corvel::win32
