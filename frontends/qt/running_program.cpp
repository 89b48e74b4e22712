#include "qt/running_program.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QFileInfo>
#include <QLocalSocket>

namespace corvel::qt {

namespace {

// One request, one line.
constexpr char kShowRequest[] = "show\n";

}  // namespace

RunningProgram::RunningProgram(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(folder, ec);
  if (ec) canonical = std::filesystem::absolute(folder, ec);
  const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(canonical.string()),
                                                     QCryptographicHash::Sha1)
                                .toHex()
                                .left(16);
  name_ = QStringLiteral("corvel-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
  // In the user's own runtime folder where there is one: no other user can
  // put a socket of theirs in its place there, as one could in /tmp.
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QFileInfo(runtime).isDir() && QFileInfo(runtime).isWritable()) {
    name_ = runtime + QStringLiteral("/") + name_;
  }
}

bool RunningProgram::AskToShow(int timeoutMs) const {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kShowRequest);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  // The answer says the request was taken, not only written.
  return socket.waitForReadyRead(timeoutMs) && socket.readLine().startsWith("ok");
}

bool RunningProgram::Listen(std::function<void()> onShow) {
  onShow_ = std::move(onShow);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  QLocalServer::removeServer(name_);
  if (!server_.listen(name_)) return false;
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* client = server_.nextPendingConnection()) {
      connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine()) {
          // A stranger that sends a lot and never a line is dropped.
          if (client->bytesAvailable() > 64) client->abort();
          return;
        }
        const QByteArray line = client->readLine(64);
        if (line == kShowRequest) {
          client->write("ok\n");
          client->flush();
          if (onShow_) onShow_();
        }
        client->disconnectFromServer();
      });
    }
  });
  return true;
}

}  // namespace corvel::qt
