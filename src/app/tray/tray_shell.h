// TrayShell: what a platform offers for a notification-area ("tray") icon,
// as the tray icon component uses it. Implementations: Qt's QSystemTrayIcon,
// the Windows shell (Shell_NotifyIcon), terminal lines for the console, and
// RecordingTrayShell for tests.
//
// One shell serves one TrayIcon. Calls and events happen on the loop thread.
// A call that reports failure is not retried; the component carries on as if
// the tray had simply not shown the change.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/tray/tray_menu.h"

namespace corvel {

// Pictures are named, not drawn: each shell maps a name to its platform's
// image. kNone shows an empty icon.
enum class TrayPicture {
  kNone,
  kApplication,   // the program's own icon
  kMailFrame1,    // first image of the new-mail animation
  kMailFrame2,    // second image of the new-mail animation
  kDoNotDisturb,  // the program's icon while it keeps quiet for a while
};

// "none", "application", "mail1", "mail2", "dnd".
[[nodiscard]] std::string_view TrayPictureName(TrayPicture picture);

// An image list: the pictures of an animation, in order.
using TrayImageList = std::vector<TrayPicture>;

// The icon of a balloon; the values are those callers pass as "icon kind".
enum class BalloonIcon : int {
  kNone = 0,
  kInformation = 1,
  kWarning = 2,
  kError = 3,
};

// What the notification area shows for the entry.
struct TrayEntry {
  TrayPicture picture = TrayPicture::kNone;
  std::string tip;  // empty: no tooltip
  bool operator==(const TrayEntry&) const = default;
};

struct TrayBalloon {
  std::string title;  // at most 63 bytes
  std::string text;   // at most 255 bytes
  BalloonIcon icon = BalloonIcon::kNone;
  std::uint32_t timeoutMs = 0;
  // The buttons a notification may offer beside its click, by caption;
  // the shell reports the one chosen through OnBalloonAction. A shell that
  // cannot offer them shows the balloon without.
  std::vector<std::string> actions;
  bool operator==(const TrayBalloon&) const = default;
};

struct TrayPoint {
  int x = 0;
  int y = 0;
  bool operator==(const TrayPoint&) const = default;
};

// Raw mouse actions on the icon, as the shell reports them. A Windows double
// click arrives as down, up, double click, up.
enum class TrayMouseAction {
  kLeftDown,
  kLeftUp,
  kLeftDoubleClick,
  kRightDown,
};

class TrayShell {
 public:
  virtual ~TrayShell() = default;

  // Puts the entry into the notification area.
  [[nodiscard]] virtual bool AddIcon(const TrayEntry& entry) = 0;
  // Changes picture and tooltip of the entry already added.
  [[nodiscard]] virtual bool ModifyIcon(const TrayEntry& entry) = 0;
  // Takes the entry out of the notification area.
  [[nodiscard]] virtual bool DeleteIcon() = 0;

  // Takes away a balloon still shown; nothing happens when there is none.
  [[nodiscard]] virtual bool RemoveBalloon() = 0;
  // Shows a balloon at the entry, for balloon.timeoutMs at most.
  [[nodiscard]] virtual bool ShowBalloon(const TrayBalloon& balloon) = 0;

  // Shows the menu at a screen position and returns; the item the user picks
  // is clicked later through TrayMenu::Click. A shell must not click an item
  // from inside this call (an item may destroy the tray icon that asked for
  // the menu): it posts the click to the loop instead. The menu must close
  // when the user clicks elsewhere.
  virtual void ShowPopupMenu(const TrayMenu& menu, TrayPoint position) = 0;

  // The longest time between the two clicks of a double click, in ms.
  [[nodiscard]] virtual std::uint32_t DoubleClickTime() const = 0;
  // false for a tray that passes on only "activated" for the left button and
  // never a double click (a StatusNotifier tray): a click is then a click at
  // once, and the only way to the window.
  [[nodiscard]] virtual bool ReportsDoubleClicks() const { return true; }
  // Whether a notification area is there to hold the entry now. Without one
  // (a desktop that has no tray) a window hidden in the tray could not be
  // found again: it minimises to the task bar instead.
  [[nodiscard]] virtual bool TrayAvailable() const { return true; }

  // The menu the tray shows by itself (a StatusNotifier tray draws the
  // exported menu) changed its items.
  virtual void MenuChanged(const TrayMenu& /*menu*/) {}

  // Makes the application the foreground one, so that a menu shown for the
  // tray gets the keyboard and closes when it loses the focus.
  virtual void BringToForeground() = 0;

  // Events the shell fires, on the loop thread; the tray icon assigns them
  // while it exists.
  // A mouse action on the icon, with the mouse position on the screen.
  std::function<void(TrayMouseAction action, TrayPoint position)> OnMouseAction;
  // The notification area was created again (the Windows shell restarted),
  // or appeared for the first time (a panel started after the program); it
  // holds no entry of ours.
  std::function<void()> OnShellRestarted;
  // The user clicked a balloon (a notification) the shell showed.
  std::function<void()> OnBalloonClicked;
  // The user chose one of the balloon's actions (its caption).
  std::function<void(const std::string& action)> OnBalloonAction;
};

}  // namespace corvel
