// DesktopNotifier: notifications through the desktop's notification server
// (org.freedesktop.Notifications on the session bus, Desktop Notifications
// 1.2): GNOME Shell, KDE Plasma, xfce4-notifyd, dunst, mako. They show with
// or without a tray icon, carry the program's own icon, and report a click
// (the "default" action) and the other actions back.
//
// Each notification takes the place of the one shown before, as a tray
// balloon does. Calls are asynchronous: nothing here waits for the server.
#pragma once

#include <QDBusMessage>
#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>
#include <vector>

namespace corvel::qt {

struct NotificationAction {
  // "default" is the click on the notification itself; the server may show
  // the label of the others as buttons.
  QString key;
  QString label;
  std::function<void()> OnInvoked;
};

struct Notification {
  QString summary;
  QString body;  // plain text
  QIcon icon;
  bool critical = false;
  // How long the server shows it; -1: the server decides.
  int timeoutMs = -1;
  std::vector<NotificationAction> actions;
};

class DesktopNotifier final : public QObject {
  Q_OBJECT

 public:
  // The name the server shows as the sender, and the program's desktop file
  // (without ".desktop").
  DesktopNotifier(QString applicationName, QString desktopEntry);
  ~DesktopNotifier() override;

  // Whether a notification server runs, or can be started, on the session bus.
  [[nodiscard]] bool Available() const;

  // Sends the notification in place of the previous one; false when there
  // is no server to send it to.
  bool Show(Notification notification);
  // Takes the notification last shown away.
  void Close();

  // A notification the server refused or never answered (a server that
  // cannot start): the caller may show it some other way.
  std::function<void(const QString& summary, const QString& body, bool critical)> OnNotDelivered;

  // For the tests: the number of notifications handed to the server.
  [[nodiscard]] int Sent() const { return sent_; }

 private Q_SLOTS:
  void ActionInvoked(uint id, const QString& key);
  void NotificationClosed(uint id, uint reason);

 private:
  // Asks the server whether it reads markup in the body (once it runs).
  void AskCapabilities();
  void NotifyAnswered(const QDBusMessage& reply, const QString& summary, const QString& body,
                      bool critical);

  QString applicationName_;
  QString desktopEntry_;
  // The server's id of the last notification (0: none yet or not known yet),
  // and the actions it offers.
  uint currentId_ = 0;
  std::vector<NotificationAction> currentActions_;
  int sent_ = 0;
  // The server reads the body as markup (so "<" must be sent as "&lt;"); what
  // every common server does until it says otherwise.
  bool bodyMarkup_ = true;
  bool capabilitiesAsked_ = false;
};

}  // namespace corvel::qt
