#include "qt/qt_tray_shell.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QStyleHints>
#include <algorithm>
#include <map>

#include "app/text/display_text.h"

// The pictures are compiled into this static library; the linker keeps them
// only when something refers to their initialiser.
static void InitPictures() {
  static const bool done = [] {
    Q_INIT_RESOURCE(icons);
    return true;
  }();
  (void)done;
}

namespace corvel::qt {

namespace {

QString Shown(std::string_view bytes) { return QString::fromStdString(DisplayText(bytes)); }

// Qt shows the icon through a StatusNotifier tray when a watcher with a host
// is on the session bus, and through an XEmbed tray otherwise.
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

bool StatusNotifierHostRegistered() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr ||
      !bus.interface()->isServiceRegistered(kWatcherService)) {
    return false;
  }
  QDBusInterface watcher(kWatcherService, kWatcherPath, kWatcherService, bus);
  return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

QSystemTrayIcon::MessageIcon MessageIconOf(BalloonIcon icon) {
  switch (icon) {
    case BalloonIcon::kInformation:
      return QSystemTrayIcon::Information;
    case BalloonIcon::kWarning:
      return QSystemTrayIcon::Warning;
    case BalloonIcon::kError:
      return QSystemTrayIcon::Critical;
    case BalloonIcon::kNone:
      break;
  }
  return QSystemTrayIcon::NoIcon;
}

TrayPoint CursorPosition() {
  const QPoint position = QCursor::pos();
  return {position.x(), position.y()};
}

}  // namespace

QIcon PictureIcon(TrayPicture picture) {
  const char* name = nullptr;
  switch (picture) {
    case TrayPicture::kApplication:
      name = "corvel";
      break;
    case TrayPicture::kMailFrame1:
      name = "mail1";
      break;
    case TrayPicture::kMailFrame2:
      name = "mail2";
      break;
    case TrayPicture::kDoNotDisturb:
      name = "dnd";
      break;
    case TrayPicture::kNone:
      return {};
  }
  // One icon per picture for the whole run: the animation shows the same
  // two icons over and over, and Qt caches the pixmaps of each icon it sees
  // (a new icon each time would fill that cache).
  static std::map<TrayPicture, QIcon> icons;
  QIcon& icon = icons[picture];
  if (icon.isNull()) {
    InitPictures();
    for (int size : {16, 22, 24, 32, 48}) {
      icon.addFile(QStringLiteral(":/corvel/%1-%2.png").arg(QLatin1String(name)).arg(size),
                   QSize(size, size));
    }
  }
  return icon;
}

QtTrayShell::QtTrayShell(EventLoop& loop)
    : loop_(loop),
      notifier_(QStringLiteral("Corvel"), QStringLiteral("corvel")),
      menu_(std::make_unique<QMenu>()) {
  // The menu a StatusNotifier tray shows is brought up to date as it opens
  // (a mail program set by another process since).
  connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
    if (menuModel_ != nullptr && menuModel_->OnOpening) menuModel_->OnOpening();
  });
  // A notification server that is announced but cannot start: the tray's
  // own message instead.
  notifier_.OnNotDelivered = [this](const QString& summary, const QString& body, bool critical) {
    (void)ShowTrayMessage(
        summary, body, critical ? QSystemTrayIcon::Critical : QSystemTrayIcon::Information, 15000);
  };
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    auto* watcher = new QDBusServiceWatcher(
        kWatcherService, bus,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
        this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &QtTrayShell::StatusNotifierHostAppeared);
    // The panel went away; the icon comes back with the next one.
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { hostPresent_ = false; });
    bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(StatusNotifierHostAppeared()));
  }
  // Wayland has no XEmbed tray: without a StatusNotifier host now, the icon
  // waits for one (see above). Elsewhere Qt finds the tray as it comes.
  const bool wayland = QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
  if (!wayland || StatusNotifierHostRegistered()) MakeIcon();
}

QtTrayShell::~QtTrayShell() {
  if (icon_) icon_->hide();
}

void QtTrayShell::MakeIcon() {
  statusNotifier_ = StatusNotifierHostRegistered();
  hostPresent_ = statusNotifier_;
  icon_ = std::make_unique<QSystemTrayIcon>();
  connect(icon_.get(), &QSystemTrayIcon::activated, this, &QtTrayShell::Activated);
  connect(icon_.get(), &QSystemTrayIcon::messageClicked, this, &QtTrayShell::BalloonClicked);
  // A StatusNotifier tray shows the exported menu itself on a right click.
  if (statusNotifier_ && menuModel_ != nullptr) icon_->setContextMenu(menu_.get());
}

void QtTrayShell::StatusNotifierHostAppeared() {
  if (!StatusNotifierHostRegistered()) return;
  if (statusNotifier_) hostPresent_ = true;
  if (!icon_) {
    MakeIcon();
  } else if (!statusNotifier_) {
    // Docked in an XEmbed tray already; it stays there.
    return;
  } else if (icon_->isVisible()) {
    // A new watcher knows nothing of the items the old one had.
    icon_->hide();
  }
  // The notification area is (again) there and holds nothing of ours.
  added_ = false;
  if (const auto handler = OnShellRestarted) handler();
}

bool QtTrayShell::TrayAvailable() const {
  if (assumedTray_) return *assumedTray_;
  if (!icon_) return false;
  // Known from the watcher's coming and going, without asking it (a call
  // to it would wait for the panel).
  if (statusNotifier_) return hostPresent_;
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayShell::Show(const TrayEntry& entry) {
  entry_ = entry;
  if (!icon_) return;
  icon_->setIcon(PictureIcon(entry.picture));
  icon_->setToolTip(Shown(entry.tip));
  // Qt shows no entry without a picture; it comes with the first one.
  if (entry.picture != TrayPicture::kNone) icon_->show();
}

bool QtTrayShell::AddIcon(const TrayEntry& entry) {
  added_ = true;
  Show(entry);
  return icon_ != nullptr;
}

bool QtTrayShell::ModifyIcon(const TrayEntry& entry) {
  if (!added_) return false;
  Show(entry);
  return icon_ != nullptr;
}

bool QtTrayShell::DeleteIcon() {
  added_ = false;
  if (icon_) icon_->hide();
  return true;
}

bool QtTrayShell::RemoveBalloon() {
  // A notification takes the place of the one before; nothing to take away.
  return added_;
}

bool QtTrayShell::ShowBalloon(const TrayBalloon& balloon) {
  // The notification server, where there is one: it shows the balloon with
  // or without a tray, and leaves the tray's picture alone (a StatusNotifier
  // tray would show a message icon in place of ours while its balloon shows).
  Notification notification;
  notification.summary = Shown(balloon.title);
  notification.body = Shown(balloon.text);
  notification.icon = PictureIcon(TrayPicture::kApplication);
  notification.critical = balloon.icon == BalloonIcon::kError;
  notification.timeoutMs = static_cast<int>(std::min<std::uint32_t>(balloon.timeoutMs, 600000));
  notification.actions.push_back(
      {QStringLiteral("default"), QStringLiteral("Open Corvel"), [this] { BalloonClicked(); }});
  for (const std::string& action : balloon.actions) {
    // Not from inside the D-Bus signal: the action may start programs and
    // restore windows.
    notification.actions.push_back({Shown(action), Shown(action), [this, action] {
                                      // Done with: it goes from the screen.
                                      notifier_.Close();
                                      loop_.Post([this, action] {
                                        if (const auto handler = OnBalloonAction) handler(action);
                                      });
                                    }});
  }
  if (notifier_.Show(std::move(notification))) return true;
  return ShowTrayMessage(Shown(balloon.title), Shown(balloon.text), MessageIconOf(balloon.icon),
                         static_cast<int>(balloon.timeoutMs));
}

bool QtTrayShell::ShowTrayMessage(const QString& title, const QString& text,
                                  QSystemTrayIcon::MessageIcon icon, int timeoutMs) {
  if (!added_ || !icon_ || !TrayAvailable()) return false;
  icon_->showMessage(title, text, icon, timeoutMs);
  return true;
}

void QtTrayShell::BalloonClicked() {
  // Not from inside the D-Bus or tray signal: the handler restores windows.
  loop_.Post([this] {
    if (const auto handler = OnBalloonClicked) handler();
  });
}

void QtTrayShell::FillMenu(const TrayMenu& menu) {
  menu_->clear();
  for (std::size_t i = 0; i < menu.items.size(); ++i) {
    const TrayMenuItem& item = menu.items[i];
    QAction* action = menu_->addAction(Shown(item.caption));
    if (&item == menu.DefaultItem()) {
      QFont bold = action->font();
      bold.setBold(true);
      action->setFont(bold);
      menu_->setDefaultAction(action);
    }
    // The item runs from the loop, never from inside the menu's own signal:
    // "Exit" destroys the tray icon that showed it.
    connect(action, &QAction::triggered, this,
            [this, &menu, i] { loop_.Post([&menu, i] { menu.Click(i); }); });
  }
}

void QtTrayShell::MenuChanged(const TrayMenu& menu) {
  if (&menu == menuModel_) FillMenu(menu);
}

void QtTrayShell::SetMenu(const TrayMenu& menu) {
  menuModel_ = &menu;
  FillMenu(menu);
  if (icon_ && statusNotifier_) icon_->setContextMenu(menu_.get());
}

void QtTrayShell::ShowPopupMenu(const TrayMenu& menu, TrayPoint position) {
  // A StatusNotifier tray draws the menu itself, where the compositor lets
  // it; a menu of ours would be a window of its own there.
  if (statusNotifier_) return;
  FillMenu(menu);
  menu_->popup(QPoint(position.x, position.y));
}

std::uint32_t QtTrayShell::DoubleClickTime() const {
  return static_cast<std::uint32_t>(QGuiApplication::styleHints()->mouseDoubleClickInterval());
}

void QtTrayShell::Activated(QSystemTrayIcon::ActivationReason reason) {
  // A handler may end the tray icon component, which takes its handler back.
  const auto tell = [this](TrayMouseAction action, TrayPoint position) {
    if (const auto handler = OnMouseAction) handler(action, position);
  };
  const TrayPoint position = CursorPosition();
  // Qt reports a press of the left button as Trigger and a double click as
  // DoubleClick (in place of the second press); releases are not reported.
  // Played as Windows reports them: down, up, double click, up.
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      tell(TrayMouseAction::kLeftDown, position);
      tell(TrayMouseAction::kLeftUp, position);
      break;
    case QSystemTrayIcon::DoubleClick:
      tell(TrayMouseAction::kLeftDoubleClick, position);
      tell(TrayMouseAction::kLeftUp, position);
      break;
    case QSystemTrayIcon::Context:
      // A StatusNotifier tray shows the exported menu by itself.
      if (!statusNotifier_) tell(TrayMouseAction::kRightDown, position);
      break;
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
      break;
  }
}

}  // namespace corvel::qt
