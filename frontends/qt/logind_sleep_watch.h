// logind's word that the machine woke from sleep (PrepareForSleep(false) on
// the system bus), where there is a system bus. The core sees a resume from
// the clocks as well; this tells it at once, before the network is back.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace corvel::qt {

class LogindSleepWatch final : public QObject {
  Q_OBJECT

 public:
  // `busAddress`: the system bus when empty (tests give their own).
  explicit LogindSleepWatch(std::function<void()> onResume, const QString& busAddress = {});

  // Whether the signal is listened to (a bus was reached).
  [[nodiscard]] bool Listening() const { return listening_; }

 private slots:
  void PrepareForSleep(bool starting);

 private:
  std::function<void()> onResume_;
  bool listening_ = false;
};

}  // namespace corvel::qt
