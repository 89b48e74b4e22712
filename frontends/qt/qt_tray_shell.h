// QtTrayShell: the notification-area icon through QSystemTrayIcon, which
// uses a StatusNotifier (D-Bus) tray where a desktop has one and an XEmbed
// tray otherwise. Clicks come in as the raw mouse actions the tray icon
// component expects; balloons go to the desktop's notification server when
// one runs (with or without a tray), and are the tray's own messages
// otherwise.
//
// Qt decides once, at the first use of a tray icon, whether it speaks
// StatusNotifier. On Wayland, where no XEmbed tray can exist, the icon is
// therefore made only once a StatusNotifier host is there: a panel that
// starts after the program (the race at every login) still gets the icon.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <memory>
#include <optional>

#include "app/tray/tray_shell.h"
#include "net/event_loop.h"
#include "qt/desktop_notifier.h"

namespace corvel::qt {

// The pictures of the program (application icon and the two animation
// images), from the program's resources.
[[nodiscard]] QIcon PictureIcon(TrayPicture picture);

class QtTrayShell final : public QObject, public TrayShell {
  Q_OBJECT

 public:
  explicit QtTrayShell(EventLoop& loop);
  ~QtTrayShell() override;

  [[nodiscard]] bool AddIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool ModifyIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool DeleteIcon() override;
  [[nodiscard]] bool RemoveBalloon() override;
  [[nodiscard]] bool ShowBalloon(const TrayBalloon& balloon) override;
  void ShowPopupMenu(const TrayMenu& menu, TrayPoint position) override;
  void MenuChanged(const TrayMenu& menu) override;
  [[nodiscard]] std::uint32_t DoubleClickTime() const override;
  void BringToForeground() override {}
  [[nodiscard]] bool ReportsDoubleClicks() const override { return !statusNotifier_; }
  [[nodiscard]] bool TrayAvailable() const override;

  // The menu a StatusNotifier tray shows by itself (it asks the program for
  // it over D-Bus rather than passing on the right click).
  void SetMenu(const TrayMenu& menu);

  [[nodiscard]] DesktopNotifier& Notifier() { return notifier_; }

  // For the tests: the icon (nullptr until a tray is there), the menu, and
  // a tray taken as there or not whatever the platform says.
  [[nodiscard]] QSystemTrayIcon* Icon() { return icon_.get(); }
  [[nodiscard]] QMenu& Menu() { return *menu_; }
  [[nodiscard]] bool UsesStatusNotifier() const { return statusNotifier_; }
  void AssumeTray(std::optional<bool> available) { assumedTray_ = available; }

 private Q_SLOTS:
  // A StatusNotifier watcher came on the bus, or a host registered with it.
  void StatusNotifierHostAppeared();

 private:
  void MakeIcon();
  void Activated(QSystemTrayIcon::ActivationReason reason);
  void FillMenu(const TrayMenu& menu);
  void Show(const TrayEntry& entry);
  void BalloonClicked();
  bool ShowTrayMessage(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                       int timeoutMs);

  EventLoop& loop_;
  DesktopNotifier notifier_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  std::unique_ptr<QMenu> menu_;
  const TrayMenu* menuModel_ = nullptr;
  TrayEntry entry_;
  bool statusNotifier_ = false;
  // A StatusNotifier host is there for the icon.
  bool hostPresent_ = false;
  bool added_ = false;
  std::optional<bool> assumedTray_;
};

}  // namespace corvel::qt
