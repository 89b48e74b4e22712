#include "qt/desktop_notifier.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QImage>
#include <utility>

namespace corvel::qt {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

constexpr int kImageSize = 48;

// The "image-data" hint: (width, height, row stride, has alpha, bits per
// sample, channels, RGBA bytes). A server shows it whether or not the
// program's icon is installed in the icon theme.
QVariant ImageData(const QIcon& icon) {
  const QImage image = icon.pixmap(kImageSize, kImageSize)
                           .toImage()
                           .convertToFormat(QImage::Format_RGBA8888)
                           .scaled(kImageSize, kImageSize);
  QDBusArgument argument;
  argument.beginStructure();
  argument << image.width() << image.height() << static_cast<int>(image.bytesPerLine()) << true << 8
           << 4
           << QByteArray(reinterpret_cast<const char*>(image.constBits()),
                         static_cast<qsizetype>(image.sizeInBytes()));
  argument.endStructure();
  return QVariant::fromValue(argument);
}

}  // namespace

DesktopNotifier::DesktopNotifier(QString applicationName, QString desktopEntry)
    : applicationName_(std::move(applicationName)), desktopEntry_(std::move(desktopEntry)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
              SLOT(ActionInvoked(uint, QString)));
  bus.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
              SLOT(NotificationClosed(uint, uint)));
  if (bus.interface() != nullptr && bus.interface()->isServiceRegistered(kService)) {
    AskCapabilities();
  }
}

void DesktopNotifier::AskCapabilities() {
  capabilitiesAsked_ = true;
  const QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                           QStringLiteral("GetCapabilities"));
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    const QDBusMessage reply = w->reply();
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
      bodyMarkup_ =
          reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
    }
    w->deleteLater();
  });
}

DesktopNotifier::~DesktopNotifier() = default;

bool DesktopNotifier::Available() const {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  if (bus.interface()->isServiceRegistered(kService)) return true;
  // Not running yet, but the bus starts it on the first call.
  const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
  return activatable.isValid() && activatable.value().contains(kService);
}

bool DesktopNotifier::Show(Notification notification) {
  if (!Available()) return false;
  QStringList actions;
  for (const NotificationAction& action : notification.actions) {
    actions << action.key << action.label;
  }
  QVariantMap hints;
  hints.insert(QStringLiteral("desktop-entry"), desktopEntry_);
  hints.insert(QStringLiteral("urgency"),
               QVariant::fromValue(static_cast<uchar>(notification.critical ? 2 : 1)));
  if (!notification.icon.isNull()) {
    hints.insert(QStringLiteral("image-data"), ImageData(notification.icon));
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  // The themed icon name where the program is installed; the image above
  // where it is not.
  call << applicationName_ << currentId_ << desktopEntry_ << notification.summary
       << (bodyMarkup_ ? notification.body.toHtmlEscaped() : notification.body) << actions << hints
       << notification.timeoutMs;
  currentActions_ = std::move(notification.actions);
  ++sent_;
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, summary = notification.summary, body = notification.body,
           critical = notification.critical](QDBusPendingCallWatcher* w) {
            NotifyAnswered(w->reply(), summary, body, critical);
            w->deleteLater();
          });
  return true;
}

void DesktopNotifier::NotifyAnswered(const QDBusMessage& reply, const QString& summary,
                                     const QString& body, bool critical) {
  if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
    currentId_ = reply.arguments().first().toUInt();
    // A server started by the first notification is asked now.
    if (!capabilitiesAsked_) AskCapabilities();
    return;
  }
  currentId_ = 0;
  if (const auto handler = OnNotDelivered) handler(summary, body, critical);
}

void DesktopNotifier::Close() {
  if (currentId_ == 0) return;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                     QStringLiteral("CloseNotification"));
  call << currentId_;
  QDBusConnection::sessionBus().asyncCall(call);
}

void DesktopNotifier::ActionInvoked(uint id, const QString& key) {
  // Other programs' notifications come by on the same signal.
  if (id == 0 || id != currentId_) return;
  for (const NotificationAction& action : currentActions_) {
    if (action.key != key || !action.OnInvoked) continue;
    const std::function<void()> handler = action.OnInvoked;
    handler();
    return;
  }
}

void DesktopNotifier::NotificationClosed(uint id, uint /*reason*/) {
  if (id == 0 || id != currentId_) return;
  // A new one gets an id of its own rather than reviving the closed one.
  currentId_ = 0;
  currentActions_.clear();
}

}  // namespace corvel::qt
