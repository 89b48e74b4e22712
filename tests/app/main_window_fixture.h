// A whole program on a screenless view, for scenario tests: a real event loop
// and real sockets, the in-memory view, the recording tray, the settings in
// memory, a fixed clock and locale, and a fresh working directory for the
// accounts file and the seen-message files.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_table.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/text/locale_format.h"
#include "app/tray/recording_tray_shell.h"
#include "support/system_event_loop.h"
#include "support/working_folder.h"

namespace corvel::test {

// The moment every log line and overview row of these tests shows.
inline std::tm FixedMoment() {
  std::tm moment{};
  moment.tm_year = 2026 - 1900;
  moment.tm_mon = 11;
  moment.tm_mday = 7;
  moment.tm_hour = 9;
  moment.tm_min = 30;
  moment.tm_sec = 15;
  return moment;
}
inline constexpr std::string_view kFixedDateTime = "07/12/2026 09:30:15";

struct TestAccount {
  std::string name = "Home";
  std::string server = "127.0.0.1";
  std::string port = "110";
  std::string user = "user";
  std::string password = "secret";
  std::int32_t interval = 1;
  bool enabled = true;
  bool leaveMail = true;
  std::string authMethod;    // empty: not found yet
  std::string uidlFileName;  // empty: a fresh one
};

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest();
  ~MainWindowTest() override;

  // Appends an account to the accounts file (before Start()).
  void AddAccount(const TestAccount& account);
  // Creates the main window and runs FormCreate, with logging on unless the
  // test stored something else. The accounts' intervals are counted on the
  // test's own clock, which only Tick() moves.
  void Start(MainWindowOptions options = {});
  // The check timer fires after `seconds` of the test's clock.
  void Tick(std::uint64_t seconds = 1);

  // The log lines without their "[date time/account] " prefix, as
  // "account|message" ("|message" for a line without an account).
  [[nodiscard]] std::vector<std::string> LogEntries() const;
  // Only the messages of one account.
  [[nodiscard]] std::vector<std::string> LogOf(std::string_view account) const;
  [[nodiscard]] std::vector<TrayBalloon> Balloons() const;
  // A port on 127.0.0.1 where nothing listens.
  [[nodiscard]] static std::string ClosedPort();

  WorkingFolder folder_;
  test::SystemEventLoop loop_;
  InMemoryMainView view_;
  RecordingTrayShell shell_;
  MemorySettingsStore settings_;
  FixedLocaleFormat locale_;
  std::unique_ptr<MainWindow> window_;
  // The monotonic clock of the window, in milliseconds.
  std::uint64_t clockMs_ = 0;
};

}  // namespace corvel::test
