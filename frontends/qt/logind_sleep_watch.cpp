#include "qt/logind_sleep_watch.h"

#include <QDBusConnection>
#include <utility>

namespace corvel::qt {

LogindSleepWatch::LogindSleepWatch(std::function<void()> onResume, const QString& busAddress)
    : onResume_(std::move(onResume)) {
  QDBusConnection bus = busAddress.isEmpty() ? QDBusConnection::systemBus()
                                             : QDBusConnection::connectToBus(
                                                   busAddress, QStringLiteral("corvel-logind"));
  if (!bus.isConnected()) return;
  listening_ = bus.connect(QStringLiteral("org.freedesktop.login1"),
                           QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"),
                           QStringLiteral("PrepareForSleep"), this, SLOT(PrepareForSleep(bool)));
}

void LogindSleepWatch::PrepareForSleep(bool starting) {
  // Going to sleep needs nothing: the checks under way fail or finish.
  if (!starting && onResume_) onResume_();
}

}  // namespace corvel::qt
