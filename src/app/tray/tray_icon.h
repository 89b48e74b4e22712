// TrayIcon: the program's notification-area ("tray") icon. It shows the icon
// and its tooltip, animates it through an image list, shows balloons, turns
// the shell's raw mouse actions into OnClick, OnDblClick and the pop-up menu,
// and turns a minimise of the main window into hiding it in the tray.
//
// It talks to the platform only through a TrayShell (the notification area)
// and a TrayWindow (the main window), and keeps its timers on the EventLoop.
// Nothing is shown until IconVisible is set; destroying the component takes
// the icon out of the notification area.
//
// Threads: everything runs on the loop thread, and so do the events. An event
// handler may destroy the component; the component then touches nothing of
// itself after the handler returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/tray/tray_menu.h"
#include "app/tray/tray_shell.h"
#include "app/tray/tray_timer.h"
#include "app/tray/tray_window.h"
#include "net/event_loop.h"

namespace corvel {

class TrayIcon {
 public:
  static constexpr std::size_t kMaxHintLength = 127;
  static constexpr std::size_t kMaxBalloonTitleLength = 63;
  static constexpr std::size_t kMaxBalloonTextLength = 255;

  // The shell, the window and the loop must outlive the component. The
  // component takes over the shell's OnMouseAction and OnShellRestarted.
  TrayIcon(EventLoop& loop, TrayShell& shell, TrayWindow& window);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // ---- Properties. A change of what the entry shows updates the shell at
  // once while the icon is visible; while it is hidden nothing is sent.

  // The picture shown. The animation and IconIndex also set it.
  [[nodiscard]] TrayPicture Icon() const { return icon_; }
  void SetIcon(TrayPicture picture);

  // true adds the entry to the notification area, false removes it.
  [[nodiscard]] bool IconVisible() const { return iconVisible_; }
  void SetIconVisible(bool visible);

  // The tooltip; the shell gets at most its first kMaxHintLength bytes, and
  // no tooltip when it is empty or ShowHint is false.
  [[nodiscard]] const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  [[nodiscard]] bool ShowHint() const { return showHint_; }
  void SetShowHint(bool showHint);

  // While false, mouse actions on the icon are ignored.
  [[nodiscard]] bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled) { enabled_ = enabled; }

  // The animation images. Assigning a list selects and shows its image 0;
  // an empty list is no list.
  [[nodiscard]] const TrayImageList& IconList() const { return iconList_; }
  void SetIconList(TrayImageList list);

  // The image of IconList shown. An index past the end selects the last
  // image, a negative one the first; without a list nothing is selected.
  [[nodiscard]] int IconIndex() const { return iconIndex_; }
  void SetIconIndex(int index);

  // Period of the animation in ms (0: no animation runs). Setting it while
  // the animation runs restarts the animation from image 0.
  [[nodiscard]] std::uint32_t CycleInterval() const { return cycleInterval_; }
  void SetCycleInterval(std::uint32_t intervalMs);

  // true starts the animation at image 0; false stops it and leaves the
  // image shown at that moment until Icon is assigned.
  [[nodiscard]] bool CycleIcons() const { return cycleIcons_; }
  void SetCycleIcons(bool cycle);

  // The menu of a right click; its default item also answers a double click.
  // Not owned; nullptr for none. It must outlive the component or be reset.
  [[nodiscard]] const TrayMenu* PopupMenu() const { return popupMenu_; }
  void SetPopupMenu(const TrayMenu* menu) { popupMenu_ = menu; }

  // When true, minimising the main window hides it in the tray (see
  // MainWindowMinimizing and ApplicationMinimized).
  [[nodiscard]] bool MinimizeToTray() const { return minimizeToTray_; }
  void SetMinimizeToTray(bool minimizeToTray) { minimizeToTray_ = minimizeToTray; }

  // ---- Events (loop thread; an empty one is skipped).

  // A single left click. With OnDblClick set it fires only once the shell's
  // double-click time has passed without a second click; without OnDblClick,
  // or on a shell that reports no double clicks, it fires at once when the
  // button goes up.
  std::function<void()> OnClick;
  // A left double click; the default item of PopupMenu is clicked after it.
  std::function<void()> OnDblClick;
  // A minimise of the main window is being turned into hiding it in the tray.
  std::function<void()> OnMinimizeToTray;
  // The user clicked the balloon last shown.
  std::function<void()> OnBalloonClick;
  // The user chose an action of the balloon last shown (its caption).
  std::function<void(const std::string& action)> OnBalloonAction;

  // ---- Operations.

  // Shows a balloon at the icon: any balloon still shown is taken away
  // first; the title is cut to 63 bytes, the text to 255; the balloon stays
  // at most timeoutSeconds. Returns whether the shell showed it (false while
  // the icon is not visible).
  // `actions`: captions of the buttons a notification may offer.
  bool BalloonNotify(std::string_view title, std::string_view text, BalloonIcon icon,
                     std::uint32_t timeoutSeconds, std::vector<std::string> actions = {});

  // Shows PopupMenu where the mouse last acted on the icon (the single click
  // of a tray without double clicks offers the menu this way).
  void PopUpMenu();

  // Hides the main window and its task-bar button.
  void HideToTray();
  // Brings the task-bar button back, un-minimises the main window, shows it
  // and brings it to the foreground.
  void RestoreFromTray();

  // ---- Entry points for the platform layer.

  // A mouse action on the icon (also reached through the shell's
  // OnMouseAction).
  void MouseAction(TrayMouseAction action, TrayPoint position = {});

  // The notification area was created again: the entry is added anew with
  // its current picture and tooltip when IconVisible is set (also reached
  // through the shell's OnShellRestarted).
  void ShellRestarted();

  // Whether the platform has a notification area to hide the window in now.
  [[nodiscard]] bool TrayAvailable() const { return shell_.TrayAvailable(); }

  // The main window is about to be minimised by its minimise button, or to
  // be hidden because the application is being minimised (not while the
  // application is ending). Without a notification area this returns false
  // (the window minimises as usual). With MinimizeToTray and OnMinimizeToTray set,
  // fires OnMinimizeToTray, hides the window in the tray, makes the icon
  // visible and returns true: the caller then does not minimise. Otherwise
  // returns false and the caller minimises as usual.
  [[nodiscard]] bool MainWindowMinimizing();

  // The application (its task-bar button) was minimised. With MinimizeToTray
  // set and a notification area there, hides the window in the tray and makes the icon visible,
  // without an event, and returns true.
  [[nodiscard]] bool ApplicationMinimized();

  // The main window was shown: bring it to the foreground.
  void MainWindowShown();
  // The task-bar button asked to restore the application: show the window.
  void ApplicationRestoreCommand();

  // What the shell is given for the entry now.
  [[nodiscard]] TrayEntry Entry() const;

 private:
  void SelectImage(int index);
  void UpdateEntry();
  void StartAnimation();
  void AdvanceAnimation();
  void ClickTimeout();
  void LeftDown();
  void LeftUp();
  void LeftDoubleClick();
  void RightDown(TrayPoint position);

  TrayShell& shell_;
  TrayWindow& window_;

  TrayPicture icon_ = TrayPicture::kNone;
  bool iconVisible_ = false;
  std::string hint_;
  bool showHint_ = true;
  bool enabled_ = true;
  TrayImageList iconList_;
  int iconIndex_ = 0;
  std::uint32_t cycleInterval_ = 0;
  bool cycleIcons_ = false;
  const TrayMenu* popupMenu_ = nullptr;
  bool minimizeToTray_ = false;

  // Mouse state: the button went down on the icon; a click is waiting for
  // the double-click time to pass; a double click came within that time.
  bool clickStarted_ = false;
  bool clickReady_ = false;
  bool doubleClicked_ = false;
  TrayPoint lastPosition_;

  TrayTimer cycleTimer_;
  TrayTimer clickTimer_;

  // Cleared by the destructor; an operation that fires an event keeps a copy
  // and stops when the handler destroyed the component.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace corvel
