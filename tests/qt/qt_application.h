// The one QApplication of the Qt test program, made at the first need
// (without a screen unless QT_QPA_PLATFORM says otherwise).
#pragma once

#include <QApplication>

namespace corvel::test {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "qt_tests";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace corvel::test
