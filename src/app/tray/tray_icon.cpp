#include "app/tray/tray_icon.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace corvel {
namespace {

std::string Cut(std::string_view text, std::size_t maxLength) {
  return std::string(text.substr(0, maxLength));
}

BalloonIcon KnownBalloonIcon(BalloonIcon icon) {
  switch (icon) {
    case BalloonIcon::kNone:
    case BalloonIcon::kInformation:
    case BalloonIcon::kWarning:
    case BalloonIcon::kError:
      return icon;
  }
  // A kind outside 0..3 has no picture; show the balloon without one.
  return BalloonIcon::kNone;
}

// Runs an event through a copy: the handler may destroy the component, and
// with it the std::function it is running from.
void Fire(const std::function<void()>& event) {
  if (!event) return;
  const std::function<void()> handler = event;
  handler();
}

}  // namespace

TrayIcon::TrayIcon(EventLoop& loop, TrayShell& shell, TrayWindow& window)
    : shell_(shell), window_(window), cycleTimer_(loop), clickTimer_(loop) {
  cycleTimer_.OnTimer = [this] { AdvanceAnimation(); };
  clickTimer_.OnTimer = [this] { ClickTimeout(); };
  shell_.OnMouseAction = [this](TrayMouseAction action, TrayPoint position) {
    MouseAction(action, position);
  };
  shell_.OnShellRestarted = [this] { ShellRestarted(); };
  shell_.OnBalloonClicked = [this] { Fire(OnBalloonClick); };
  shell_.OnBalloonAction = [this](const std::string& action) {
    if (const auto handler = OnBalloonAction) handler(action);
  };
}

TrayIcon::~TrayIcon() {
  *alive_ = false;
  shell_.OnMouseAction = nullptr;
  shell_.OnShellRestarted = nullptr;
  shell_.OnBalloonClicked = nullptr;
  shell_.OnBalloonAction = nullptr;
  cycleTimer_.Stop();
  clickTimer_.Stop();
  // A failed removal leaves nothing for us to do: the entry belongs to the
  // shell, and the program is going away.
  if (iconVisible_) (void)shell_.DeleteIcon();
}

TrayEntry TrayIcon::Entry() const {
  TrayEntry entry;
  entry.picture = icon_;
  if (showHint_) entry.tip = Cut(hint_, kMaxHintLength);
  return entry;
}

void TrayIcon::UpdateEntry() {
  // A failed update only means the tray does not show the change; the next
  // update sends the whole entry again.
  if (iconVisible_) (void)shell_.ModifyIcon(Entry());
}

void TrayIcon::SetIcon(TrayPicture picture) {
  icon_ = picture;
  UpdateEntry();
}

void TrayIcon::SetIconVisible(bool visible) {
  if (visible == iconVisible_) return;
  iconVisible_ = visible;
  // Failures are ignored: a failed add is repaired when the shell announces
  // a restart, and a failed delete leaves nothing we could do better.
  if (visible) {
    (void)shell_.AddIcon(Entry());
  } else {
    (void)shell_.DeleteIcon();
  }
}

void TrayIcon::SetHint(std::string hint) {
  hint_ = std::move(hint);
  UpdateEntry();
}

void TrayIcon::SetShowHint(bool showHint) {
  showHint_ = showHint;
  UpdateEntry();
}

void TrayIcon::SetIconList(TrayImageList list) {
  iconList_ = std::move(list);
  SelectImage(0);
}

void TrayIcon::SetIconIndex(int index) { SelectImage(index); }

void TrayIcon::SelectImage(int index) {
  if (iconList_.empty()) {
    iconIndex_ = std::max(index, 0);
    return;
  }
  const int last = static_cast<int>(std::min<std::size_t>(
      iconList_.size() - 1, static_cast<std::size_t>(std::numeric_limits<int>::max())));
  iconIndex_ = std::clamp(index, 0, last);
  icon_ = iconList_[static_cast<std::size_t>(iconIndex_)];
  UpdateEntry();
}

void TrayIcon::SetCycleInterval(std::uint32_t intervalMs) {
  cycleInterval_ = intervalMs;
  if (cycleIcons_) StartAnimation();
}

void TrayIcon::SetCycleIcons(bool cycle) {
  cycleIcons_ = cycle;
  if (cycle) {
    StartAnimation();
  } else {
    cycleTimer_.Stop();
  }
}

void TrayIcon::StartAnimation() {
  SelectImage(0);
  cycleTimer_.SetInterval(cycleInterval_);
  cycleTimer_.Start();
}

void TrayIcon::AdvanceAnimation() {
  if (iconList_.empty()) return;
  const bool beforeLast = static_cast<std::size_t>(iconIndex_) + 1 < iconList_.size();
  SelectImage(beforeLast ? iconIndex_ + 1 : 0);
}

bool TrayIcon::BalloonNotify(std::string_view title, std::string_view text, BalloonIcon icon,
                             std::uint32_t timeoutSeconds, std::vector<std::string> actions) {
  if (!iconVisible_) return false;
  // The shell keeps one balloon per entry; taking the old one away first
  // makes the new one show at once instead of queueing behind it. Whether
  // there was one to take away does not matter.
  (void)shell_.RemoveBalloon();
  TrayBalloon balloon;
  balloon.title = Cut(title, kMaxBalloonTitleLength);
  balloon.text = Cut(text, kMaxBalloonTextLength);
  balloon.icon = KnownBalloonIcon(icon);
  balloon.actions = std::move(actions);
  const std::uint64_t timeoutMs = static_cast<std::uint64_t>(timeoutSeconds) * 1000U;
  balloon.timeoutMs = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(timeoutMs, std::numeric_limits<std::uint32_t>::max()));
  return shell_.ShowBalloon(balloon);
}

void TrayIcon::HideToTray() {
  window_.HideMainWindow();
  if (window_.TaskbarButtonVisible()) window_.HideTaskbarButton();
}

void TrayIcon::RestoreFromTray() {
  window_.ShowTaskbarButton();
  if (window_.IsMinimized()) window_.MakeNormal();
  window_.ShowMainWindow();
  window_.BringToForeground();
}

void TrayIcon::MouseAction(TrayMouseAction action, TrayPoint position) {
  if (!enabled_) return;
  lastPosition_ = position;
  switch (action) {
    case TrayMouseAction::kLeftDown:
      LeftDown();
      break;
    case TrayMouseAction::kLeftUp:
      LeftUp();
      break;
    case TrayMouseAction::kLeftDoubleClick:
      LeftDoubleClick();
      break;
    case TrayMouseAction::kRightDown:
      RightDown(position);
      break;
  }
}

void TrayIcon::LeftDown() {
  // Only a component that tells double clicks apart needs to wait before it
  // can call a click a click.
  if (OnDblClick && shell_.ReportsDoubleClicks()) {
    clickTimer_.SetInterval(shell_.DoubleClickTime());
    clickTimer_.Start();
  }
  clickStarted_ = true;
}

void TrayIcon::LeftUp() {
  if (!clickStarted_) return;
  clickStarted_ = false;
  if (clickTimer_.Running()) {
    clickReady_ = true;  // ClickTimeout decides
    return;
  }
  clickReady_ = false;
  Fire(OnClick);
}

void TrayIcon::ClickTimeout() {
  clickTimer_.Stop();
  const bool fire = !doubleClicked_ && clickReady_;
  doubleClicked_ = false;
  if (!fire) return;
  clickReady_ = false;
  Fire(OnClick);
}

void TrayIcon::LeftDoubleClick() {
  clickReady_ = false;
  doubleClicked_ = true;
  const std::shared_ptr<bool> alive = alive_;
  Fire(OnDblClick);
  if (!*alive) return;
  if (popupMenu_ != nullptr && popupMenu_->autoPopup) (void)popupMenu_->ClickDefault();
}

void TrayIcon::RightDown(TrayPoint position) {
  if (popupMenu_ == nullptr) return;
  if (const auto opening = popupMenu_->OnOpening) opening();
  shell_.BringToForeground();
  shell_.ShowPopupMenu(*popupMenu_, position);
}

void TrayIcon::PopUpMenu() { RightDown(lastPosition_); }

bool TrayIcon::MainWindowMinimizing() {
  if (!minimizeToTray_ || !OnMinimizeToTray || !shell_.TrayAvailable()) return false;
  const std::shared_ptr<bool> alive = alive_;
  Fire(OnMinimizeToTray);
  // The handler destroyed the component: the minimise has been dealt with.
  if (!*alive) return true;
  HideToTray();
  SetIconVisible(true);
  return true;
}

bool TrayIcon::ApplicationMinimized() {
  if (!minimizeToTray_ || !shell_.TrayAvailable()) return false;
  HideToTray();
  SetIconVisible(true);
  return true;
}

void TrayIcon::MainWindowShown() { window_.BringToForeground(); }

void TrayIcon::ApplicationRestoreCommand() { window_.ShowMainWindow(); }

void TrayIcon::ShellRestarted() {
  if (iconVisible_) (void)shell_.AddIcon(Entry());
}

}  // namespace corvel
