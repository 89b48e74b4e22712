#include "main_window_fixture.h"

#include "support/loopback.h"

namespace corvel::test {

MainWindowTest::MainWindowTest() { settings_.Preset(kProgramKey, "Log", "True"); }

MainWindowTest::~MainWindowTest() { window_.reset(); }

void MainWindowTest::AddAccount(const TestAccount& account) {
  AccountFile file;
  file.Open();
  AccountForm form;
  form.enabled = account.enabled;
  form.name = account.name;
  form.server = account.server;
  form.port = account.port;
  form.user = account.user;
  form.password = account.password;
  form.interval = std::to_string(account.interval);
  form.leaveMail = account.leaveMail;
  AccountRecord record = NewAccountRecord(form, 4711);
  record.SetPlainAuthMethod(account.authMethod);
  if (!account.uidlFileName.empty()) record.SetPlainUidlFileName(account.uidlFileName);
  file.WriteRecord(file.RecordCount(), record);
}

void MainWindowTest::Start(MainWindowOptions options) {
  options.clock = [] { return FixedMoment(); };
  if (!options.tickCount) options.tickCount = [] { return 123456u; };
  if (options.pop3Timeout == 15) options.pop3Timeout = 5;
  if (!options.monotonicClock) options.monotonicClock = [this] { return clockMs_; };
  window_ =
      std::make_unique<MainWindow>(loop_, view_, shell_, settings_, locale_, std::move(options));
  window_->FormCreate();
}

void MainWindowTest::Tick(std::uint64_t seconds) {
  clockMs_ += seconds * 1000;
  window_->TimerTimer();
}

std::vector<std::string> MainWindowTest::LogEntries() const {
  std::vector<std::string> entries;
  const std::string prefix = "[" + std::string(kFixedDateTime);
  for (const std::string& line : window_->LogMemo().Lines()) {
    // "[date time] message" or "[date time/account] message".
    if (line.rfind(prefix, 0) != 0) {
      entries.push_back("?" + line);
      continue;
    }
    const std::size_t close = line.find("] ", prefix.size());
    std::string account;
    if (line[prefix.size()] == '/')
      account = line.substr(prefix.size() + 1, close - prefix.size() - 1);
    entries.push_back(account + "|" + line.substr(close + 2));
  }
  return entries;
}

std::vector<std::string> MainWindowTest::LogOf(std::string_view account) const {
  std::vector<std::string> messages;
  const std::string tag = std::string(account) + "|";
  for (const std::string& entry : LogEntries()) {
    if (entry.rfind(tag, 0) == 0) messages.push_back(entry.substr(tag.size()));
  }
  return messages;
}

std::vector<TrayBalloon> MainWindowTest::Balloons() const {
  std::vector<TrayBalloon> balloons;
  for (const TrayShellCall& call : shell_.CallsOf(TrayShellCallKind::kShowBalloon)) {
    balloons.push_back(call.balloon);
  }
  return balloons;
}

std::string MainWindowTest::ClosedPort() { return std::to_string(ClosedLoopbackPort()); }

}  // namespace corvel::test
