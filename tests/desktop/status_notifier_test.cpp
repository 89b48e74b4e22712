// The StatusNotifier path of the tray, on a private session bus: a minimal
// watcher of our own (with a host registered, as a desktop's panel would
// have) records the item corvel-desktop registers, reads its icon, tooltip
// and menu, and activates it.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <chrono>
#include <thread>

#include "desktop/desktop_fixture.h"

namespace corvel::test {
namespace {

constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";

// org.kde.StatusNotifierWatcher with just what an item uses.
class Watcher final : public QDBusVirtualObject {
 public:
  QStringList items;

  QString introspect(const QString& /*path*/) const override {
    return QStringLiteral(
        "<interface name=\"org.kde.StatusNotifierWatcher\">"
        "<method name=\"RegisterStatusNotifierItem\"><arg type=\"s\" direction=\"in\"/></method>"
        "<method name=\"RegisterStatusNotifierHost\"><arg type=\"s\" direction=\"in\"/></method>"
        "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
        "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
        "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
        "</interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    if (member == "RegisterStatusNotifierItem") {
      // The argument is a service name or an object path on the caller.
      const QString item = message.arguments().value(0).toString();
      items << (item.startsWith('/') ? message.service() + item : item);
      connection.send(message.createReply());
      return true;
    }
    if (member == "RegisterStatusNotifierHost") {
      connection.send(message.createReply());
      return true;
    }
    if (member == "Get") {
      const QString property = message.arguments().value(1).toString();
      QVariant value;
      if (property == "IsStatusNotifierHostRegistered") value = true;
      if (property == "ProtocolVersion") value = 0;
      if (property == "RegisteredStatusNotifierItems") value = items;
      connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
      return true;
    }
    if (member == "GetAll") {
      QVariantMap all{{"IsStatusNotifierHostRegistered", true},
                      {"ProtocolVersion", 0},
                      {"RegisteredStatusNotifierItems", items}};
      connection.send(message.createReply(QVariant(all)));
      return true;
    }
    return false;
  }
};

class StatusNotifierTest : public DesktopTest {};

TEST_F(StatusNotifierTest, CorvelRegistersAnItemWithIconTooltipAndMenuAndAClickOpensTheNews) {
  static int argc = 1;
  static char name[] = "desktop_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;

  const std::string address = StartSessionBus();
  ASSERT_FALSE(address.empty());
  QDBusConnection bus =
      QDBusConnection::connectToBus(QString::fromStdString(address), QStringLiteral("watcher"));
  ASSERT_TRUE(bus.isConnected());
  Watcher watcher;
  ASSERT_TRUE(bus.registerVirtualObject(QStringLiteral("/StatusNotifierWatcher"), &watcher));
  ASSERT_TRUE(bus.registerService(kWatcherInterface));

  server_.AddMessage("m1", Mail("Ann <ann@example.org>", "Hello"));
  AddAccount();
  auto corvel = StartCorvel({"--MINIMIZE"});
  const auto pump = [](auto&& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  };
  ASSERT_TRUE(pump([&] { return !watcher.items.isEmpty(); }));
  const QString item = watcher.items.first();
  const int slash = static_cast<int>(item.indexOf('/'));
  const QString service = slash < 0 ? item : item.left(slash);
  const QString path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : item.mid(slash);

  const auto property = [&](const char* name) {
    QDBusMessage get =
        QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
    get << QString::fromLatin1(kItemInterface) << QString::fromLatin1(name);
    const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    return reply.arguments().value(0).value<QDBusVariant>().variant();
  };
  // The tooltip: (icon name, icon pixmaps, title, text).
  const QDBusArgument tip = property("ToolTip").value<QDBusArgument>();
  QString tipIcon, tipTitle, tipText;
  tip.beginStructure();
  tip >> tipIcon;
  tip.beginArray();
  while (!tip.atEnd()) {
    tip.beginStructure();
    int w = 0, h = 0;
    QByteArray bytes;
    tip >> w >> h >> bytes;
    tip.endStructure();
  }
  tip.endArray();
  tip >> tipTitle >> tipText;
  tip.endStructure();
  EXPECT_EQ(tipTitle + tipText, QStringLiteral("Corvel! v0.6"));
  // The icon: pixmaps of the program's envelope.
  const QDBusArgument pixmaps = property("IconPixmap").value<QDBusArgument>();
  int largest = 0;
  pixmaps.beginArray();
  while (!pixmaps.atEnd()) {
    pixmaps.beginStructure();
    int w = 0, h = 0;
    QByteArray bytes;
    pixmaps >> w >> h >> bytes;
    pixmaps.endStructure();
    EXPECT_EQ(bytes.size(), w * h * 4);
    largest = std::max(largest, w);
  }
  pixmaps.endArray();
  EXPECT_GE(largest, 16);
  // The menu the tray shows by itself.
  EXPECT_FALSE(property("Menu").value<QDBusObjectPath>().path().isEmpty());

  // The news arrive while the window is hidden; a click (Activate) opens them.
  ASSERT_TRUE(pump([&] { return fs::exists(seenFile_) && fs::file_size(seenFile_) > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(VisibleWindow().empty());
  QDBusMessage activate = QDBusMessage::createMethodCall(service, path, kItemInterface, "Activate");
  activate << 10 << 10;
  bus.call(activate, QDBus::Block, 5000);
  ASSERT_TRUE(pump([&] { return !VisibleWindow().empty(); }));
  corvel->Signal(SIGTERM);
  EXPECT_EQ(corvel->WaitExit(20000), 0);
}

}  // namespace
}  // namespace corvel::test
