#include "qt/qt_tray_shell.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QStyleHints>
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
bool StatusNotifierHostRegistered() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr ||
      !bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
    return false;
  }
  QDBusInterface watcher(QStringLiteral("org.kde.StatusNotifierWatcher"),
                         QStringLiteral("/StatusNotifierWatcher"),
                         QStringLiteral("org.kde.StatusNotifierWatcher"), bus);
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
      menu_(std::make_unique<QMenu>()),
      statusNotifier_(StatusNotifierHostRegistered()) {
  connect(&icon_, &QSystemTrayIcon::activated, this, &QtTrayShell::Activated);
}

QtTrayShell::~QtTrayShell() { icon_.hide(); }

void QtTrayShell::Show(const TrayEntry& entry) {
  icon_.setIcon(PictureIcon(entry.picture));
  icon_.setToolTip(Shown(entry.tip));
}

bool QtTrayShell::AddIcon(const TrayEntry& entry) {
  Show(entry);
  added_ = true;
  // Qt shows no entry without a picture; it comes with the first one.
  if (entry.picture != TrayPicture::kNone) icon_.show();
  return true;
}

bool QtTrayShell::ModifyIcon(const TrayEntry& entry) {
  if (!added_) return false;
  Show(entry);
  if (entry.picture != TrayPicture::kNone) icon_.show();
  return true;
}

bool QtTrayShell::DeleteIcon() {
  added_ = false;
  icon_.hide();
  return true;
}

bool QtTrayShell::RemoveBalloon() {
  // A notification takes the place of the one before; nothing to take away.
  return added_;
}

bool QtTrayShell::ShowBalloon(const TrayBalloon& balloon) {
  if (!added_) return false;
  icon_.showMessage(Shown(balloon.title), Shown(balloon.text), MessageIconOf(balloon.icon),
                    static_cast<int>(balloon.timeoutMs));
  return true;
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

void QtTrayShell::SetMenu(const TrayMenu& menu) {
  FillMenu(menu);
  // A StatusNotifier tray shows the exported menu itself on a right click.
  if (statusNotifier_) icon_.setContextMenu(menu_.get());
}

void QtTrayShell::ShowPopupMenu(const TrayMenu& menu, TrayPoint position) {
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
