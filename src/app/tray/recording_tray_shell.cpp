#include "app/tray/recording_tray_shell.h"

#include <algorithm>
#include <utility>

namespace corvel {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string_view BalloonIconName(BalloonIcon icon) {
  switch (icon) {
    case BalloonIcon::kNone:
      return "none";
    case BalloonIcon::kInformation:
      return "info";
    case BalloonIcon::kWarning:
      return "warning";
    case BalloonIcon::kError:
      return "error";
  }
  return "none";
}

}  // namespace

std::string DescribeTrayShellCall(const TrayShellCall& call) {
  std::string line;
  const auto entryText = [&call] {
    return std::string(TrayPictureName(call.entry.picture)) + " " + Quoted(call.entry.tip);
  };
  switch (call.kind) {
    case TrayShellCallKind::kAddIcon:
      line = "add icon " + entryText();
      break;
    case TrayShellCallKind::kModifyIcon:
      line = "modify icon " + entryText();
      break;
    case TrayShellCallKind::kDeleteIcon:
      line = "delete icon";
      break;
    case TrayShellCallKind::kRemoveBalloon:
      line = "remove balloon";
      break;
    case TrayShellCallKind::kShowBalloon:
      line = "balloon " + std::string(BalloonIconName(call.balloon.icon)) + " " +
             Quoted(call.balloon.title) + " " + Quoted(call.balloon.text) + " " +
             std::to_string(call.balloon.timeoutMs) + " ms";
      break;
    case TrayShellCallKind::kShowPopupMenu:
      line = "menu at " + std::to_string(call.position.x) + "," + std::to_string(call.position.y);
      for (const TrayMenuItemSnapshot& item : call.menuItems) {
        line += " " + Quoted(item.caption);
        if (item.isDefault) line += "(default)";
      }
      break;
    case TrayShellCallKind::kBringToForeground:
      line = "bring to foreground";
      break;
  }
  if (!call.result) line += " [failed]";
  return line;
}

bool RecordingTrayShell::Record(TrayShellCall call, bool possible) {
  const auto found = results_.find(call.kind);
  call.result = possible && (found == results_.end() || found->second);
  calls_.push_back(std::move(call));
  const bool result = calls_.back().result;
  if (OnCall) {
    const TrayShellCall recorded = calls_.back();
    const auto handler = OnCall;
    handler(recorded);
  }
  return result;
}

bool RecordingTrayShell::AddIcon(const TrayEntry& entry) {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kAddIcon;
  call.entry = entry;
  // As in a real notification area, an entry cannot be added twice.
  const bool ok = Record(std::move(call), !iconShown_);
  if (ok) {
    iconShown_ = true;
    shownEntry_ = entry;
  }
  return ok;
}

bool RecordingTrayShell::ModifyIcon(const TrayEntry& entry) {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kModifyIcon;
  call.entry = entry;
  // Changing, removing or ballooning an entry that is not there fails.
  const bool ok = Record(std::move(call), iconShown_);
  if (ok) shownEntry_ = entry;
  return ok;
}

bool RecordingTrayShell::DeleteIcon() {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kDeleteIcon;
  const bool ok = Record(std::move(call), iconShown_);
  if (ok) {
    iconShown_ = false;
    balloonShown_ = false;
  }
  return ok;
}

bool RecordingTrayShell::RemoveBalloon() {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kRemoveBalloon;
  const bool ok = Record(std::move(call), iconShown_);
  if (ok) balloonShown_ = false;
  return ok;
}

bool RecordingTrayShell::ShowBalloon(const TrayBalloon& balloon) {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kShowBalloon;
  call.balloon = balloon;
  const bool ok = Record(std::move(call), iconShown_);
  if (ok) {
    balloonShown_ = true;
    shownBalloon_ = balloon;
  }
  return ok;
}

void RecordingTrayShell::ShowPopupMenu(const TrayMenu& menu, TrayPoint position) {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kShowPopupMenu;
  call.position = position;
  for (const TrayMenuItem& item : menu.items)
    call.menuItems.push_back({item.caption, item.isDefault});
  lastMenu_ = &menu;
  (void)Record(std::move(call));
}

void RecordingTrayShell::BringToForeground() {
  TrayShellCall call;
  call.kind = TrayShellCallKind::kBringToForeground;
  (void)Record(std::move(call));
}

std::vector<TrayShellCall> RecordingTrayShell::CallsOf(TrayShellCallKind kind) const {
  std::vector<TrayShellCall> found;
  for (const TrayShellCall& call : calls_) {
    if (call.kind == kind) found.push_back(call);
  }
  return found;
}

std::vector<TrayShellCallKind> RecordingTrayShell::CallKinds() const {
  std::vector<TrayShellCallKind> kinds;
  kinds.reserve(calls_.size());
  for (const TrayShellCall& call : calls_) kinds.push_back(call.kind);
  return kinds;
}

void RecordingTrayShell::SimulateMouse(TrayMouseAction action, TrayPoint position) {
  // Through a copy: the tray icon may be destroyed by what the action
  // starts, and it clears this event when it goes.
  if (!OnMouseAction) return;
  const auto handler = OnMouseAction;
  handler(action, position);
}

void RecordingTrayShell::SimulateLeftClick() {
  SimulateMouse(TrayMouseAction::kLeftDown);
  SimulateMouse(TrayMouseAction::kLeftUp);
}

void RecordingTrayShell::SimulateLeftDoubleClick() {
  SimulateMouse(TrayMouseAction::kLeftDown);
  SimulateMouse(TrayMouseAction::kLeftUp);
  SimulateMouse(TrayMouseAction::kLeftDoubleClick);
  SimulateMouse(TrayMouseAction::kLeftUp);
}

void RecordingTrayShell::SimulateShellRestart() {
  iconShown_ = false;
  balloonShown_ = false;
  if (!OnShellRestarted) return;
  const auto handler = OnShellRestarted;
  handler();
}

bool RecordingTrayShell::SimulateBalloonAction(const std::string& action) {
  const auto& offered = shownBalloon_.actions;
  if (!balloonShown_ || !OnBalloonAction ||
      std::find(offered.begin(), offered.end(), action) == offered.end()) {
    return false;
  }
  const auto handler = OnBalloonAction;
  handler(action);
  return true;
}

void RecordingTrayShell::SimulateBalloonClick() {
  if (!OnBalloonClicked) return;
  const auto handler = OnBalloonClicked;
  handler();
}

bool RecordingTrayShell::PickMenuItem(std::size_t index) {
  if (lastMenu_ == nullptr || index >= lastMenu_->items.size()) return false;
  lastMenu_->Click(index);
  return true;
}

}  // namespace corvel
