// RecordingTrayShell: a TrayShell without a screen. It records every call
// with its arguments, answers each kind of call with a result the caller
// chooses (success by default), keeps what a notification area would show
// (whether the entry is there, its picture and tooltip, the last balloon, the
// last menu), and lets its owner play the user's mouse actions and a restart
// of the notification area.
//
// The tests use it to check exactly what the tray icon asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/tray/tray_shell.h"

namespace corvel {

enum class TrayShellCallKind {
  kAddIcon,
  kModifyIcon,
  kDeleteIcon,
  kRemoveBalloon,
  kShowBalloon,
  kShowPopupMenu,
  kBringToForeground,
};

struct TrayMenuItemSnapshot {
  std::string caption;
  bool isDefault = false;
  bool operator==(const TrayMenuItemSnapshot&) const = default;
};

// One call, with the arguments that belong to its kind (the rest are empty).
struct TrayShellCall {
  TrayShellCallKind kind = TrayShellCallKind::kAddIcon;
  TrayEntry entry;                              // kAddIcon, kModifyIcon
  TrayBalloon balloon;                          // kShowBalloon
  std::vector<TrayMenuItemSnapshot> menuItems;  // kShowPopupMenu
  TrayPoint position;                           // kShowPopupMenu
  bool result = true;                           // what the call answered
};

// One line describing a call, e.g. `add icon application "Corvel! v0.6"` or
// `balloon info "New mail on home" "2 new mails! (300 bytes)" 15000 ms`.
[[nodiscard]] std::string DescribeTrayShellCall(const TrayShellCall& call);

class RecordingTrayShell final : public TrayShell {
 public:
  static constexpr std::uint32_t kDefaultDoubleClickTime = 500;

  [[nodiscard]] bool AddIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool ModifyIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool DeleteIcon() override;
  [[nodiscard]] bool RemoveBalloon() override;
  [[nodiscard]] bool ShowBalloon(const TrayBalloon& balloon) override;
  void ShowPopupMenu(const TrayMenu& menu, TrayPoint position) override;
  [[nodiscard]] std::uint32_t DoubleClickTime() const override { return doubleClickTime_; }
  [[nodiscard]] bool ReportsDoubleClicks() const override { return reportsDoubleClicks_; }
  [[nodiscard]] bool TrayAvailable() const override { return trayAvailable_; }
  void BringToForeground() override;

  // ---- Set-up.
  // Whether calls of this kind may succeed from now on (calls without a
  // result ignore it). A call that is impossible in the present state (a
  // modify, delete or balloon without an entry, a second add) fails anyway.
  void SetResult(TrayShellCallKind kind, bool succeeds) { results_[kind] = succeeds; }
  void SetDoubleClickTime(std::uint32_t ms) { doubleClickTime_ = ms; }
  void SetReportsDoubleClicks(bool reports) { reportsDoubleClicks_ = reports; }
  void SetTrayAvailable(bool available) { trayAvailable_ = available; }

  // ---- Record.
  [[nodiscard]] const std::vector<TrayShellCall>& Calls() const { return calls_; }
  [[nodiscard]] std::vector<TrayShellCall> CallsOf(TrayShellCallKind kind) const;
  [[nodiscard]] std::vector<TrayShellCallKind> CallKinds() const;
  void ClearCalls() { calls_.clear(); }
  // Fired after each call was recorded.
  std::function<void(const TrayShellCall& call)> OnCall;

  // ---- What a notification area would show now (successful calls only).
  [[nodiscard]] bool IconShown() const { return iconShown_; }
  [[nodiscard]] const TrayEntry& ShownEntry() const { return shownEntry_; }
  [[nodiscard]] bool BalloonShown() const { return balloonShown_; }
  [[nodiscard]] const TrayBalloon& ShownBalloon() const { return shownBalloon_; }
  // The menu of the last ShowPopupMenu; nullptr before the first. It points
  // at the caller's menu, which must still exist when it is used.
  [[nodiscard]] const TrayMenu* LastMenu() const { return lastMenu_; }

  // ---- The user and the system.
  // A mouse action on the icon: fires OnMouseAction.
  void SimulateMouse(TrayMouseAction action, TrayPoint position = {});
  // Down and up of the left button.
  void SimulateLeftClick();
  // Down, up, double click, up, as Windows reports a double click.
  void SimulateLeftDoubleClick();
  // The notification area comes back empty: fires OnShellRestarted.
  void SimulateShellRestart();
  // The user clicks the balloon: fires OnBalloonClicked.
  void SimulateBalloonClick();
  // The user chooses an action of the balloon shown: fires OnBalloonAction;
  // false when the balloon offers no such action.
  bool SimulateBalloonAction(const std::string& action);
  // Picks item `index` of the last menu shown, as the user would after the
  // menu closed. Returns false when no menu was shown or the index is past
  // its end.
  bool PickMenuItem(std::size_t index);

 private:
  // Records the call; it succeeds when it is possible in the shell's
  // present state and the caller has not made calls of its kind fail.
  bool Record(TrayShellCall call, bool possible = true);

  std::map<TrayShellCallKind, bool> results_;
  std::uint32_t doubleClickTime_ = kDefaultDoubleClickTime;
  bool reportsDoubleClicks_ = true;
  bool trayAvailable_ = true;
  std::vector<TrayShellCall> calls_;
  bool iconShown_ = false;
  TrayEntry shownEntry_;
  bool balloonShown_ = false;
  TrayBalloon shownBalloon_;
  const TrayMenu* lastMenu_ = nullptr;
};

}  // namespace corvel
