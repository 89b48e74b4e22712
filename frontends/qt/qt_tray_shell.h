// QtTrayShell: the notification-area icon through QSystemTrayIcon, which
// uses a StatusNotifier (D-Bus) tray where a desktop has one and an XEmbed
// tray otherwise. Clicks come in as the raw mouse actions the tray icon
// component expects; balloons are the tray's notifications.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <memory>

#include "app/tray/tray_shell.h"
#include "net/event_loop.h"

namespace corvel::qt {

// The pictures of the program (application icon and the two animation
// images), from the program's resources.
[[nodiscard]] QIcon PictureIcon(TrayPicture picture);

class QtTrayShell final : public QObject, public TrayShell {
 public:
  explicit QtTrayShell(EventLoop& loop);
  ~QtTrayShell() override;

  [[nodiscard]] bool AddIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool ModifyIcon(const TrayEntry& entry) override;
  [[nodiscard]] bool DeleteIcon() override;
  [[nodiscard]] bool RemoveBalloon() override;
  [[nodiscard]] bool ShowBalloon(const TrayBalloon& balloon) override;
  void ShowPopupMenu(const TrayMenu& menu, TrayPoint position) override;
  [[nodiscard]] std::uint32_t DoubleClickTime() const override;
  void BringToForeground() override {}
  [[nodiscard]] bool ReportsDoubleClicks() const override { return !statusNotifier_; }

  // The menu a StatusNotifier tray shows by itself (it asks the program for
  // it over D-Bus rather than passing on the right click).
  void SetMenu(const TrayMenu& menu);

  // For the tests.
  [[nodiscard]] QSystemTrayIcon& Icon() { return icon_; }
  [[nodiscard]] QMenu& Menu() { return *menu_; }
  [[nodiscard]] bool UsesStatusNotifier() const { return statusNotifier_; }

 private:
  void Activated(QSystemTrayIcon::ActivationReason reason);
  void FillMenu(const TrayMenu& menu);
  void Show(const TrayEntry& entry);

  EventLoop& loop_;
  QSystemTrayIcon icon_;
  std::unique_ptr<QMenu> menu_;
  bool statusNotifier_ = false;
  bool added_ = false;
};

}  // namespace corvel::qt
