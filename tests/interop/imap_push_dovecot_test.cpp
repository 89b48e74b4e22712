// Push against a real Dovecot: the long-running program keeps INBOX in IDLE
// and reports a message delivered meanwhile at once, through the normal
// check, once; its interval is an hour, so nothing else could report it. A
// one-shot run keeps no watcher.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "accounts/account_file.h"
#include "accounts/account_form.h"
#include "accounts/account_options.h"
#include "app/in_memory_main_view.h"
#include "app/main_window.h"
#include "app/settings/memory_settings_store.h"
#include "app/text/locale_format.h"
#include "app/tray/recording_tray_shell.h"
#include "net/posix/poll_event_loop.h"
#include "support/dovecot.h"
#include "support/wait_for.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::Contains;

class ImapPushDovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    DovecotOptions options;
    options.imap = true;
    dovecot_ = StartDovecotWithUsers(options, {{"tim", "secret"}}, whyNot);
    RequireDovecot(dovecot_.get(), whyNot);
    if (dovecot_ == nullptr) return;
    AccountForm form;
    form.enabled = true;
    form.name = "Mail";
    form.server = "127.0.0.1";
    form.port = std::to_string(dovecot_->ImapPort());
    form.user = "tim";
    form.password = "secret";
    form.interval = "3600";
    form.leaveMail = true;
    AccountRecord record = NewAccountRecord(form, 1);
    record.SetPlainAuthMethod("NONE");
    AccountFile file;
    file.Open();
    file.WriteRecord(0, record);
    EditAccountOptions(kAccountOptionsFileName, record.PlainUidlFileName(),
                       [](OptionSection& section) {
                         StoreProtocolOptions({MailProtocol::imap, {"INBOX"}}, section);
                       });
    settings_.Preset(kProgramKey, "Log", "True");
    settings_.Preset(kProgramKey, "AllMail", "True");
  }

  void Start(bool longRunning) {
    MainWindowOptions options;
    options.longRunning = longRunning;
    options.oneShot = !longRunning;
    window_ = std::make_unique<MainWindow>(loop_, view_, shell_, settings_, locale_, options);
    window_->FormCreate();
  }

  bool Logged(const std::string& text) const {
    for (const std::string& line : window_->LogMemo().Lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  void Deliver(const std::string& subject) {
    std::string error;
    ASSERT_TRUE(dovecot_->Doveadm(
        {"save", "-u", "tim", "-m", "INBOX"},
        "From: Ann <ann@example.org>\nSubject: " + subject + "\nDate: d\n\nbody\n", error))
        << error;
  }

  WorkingFolder folder_;
  std::unique_ptr<DovecotServer> dovecot_;
  PollEventLoop loop_;
  InMemoryMainView view_;
  RecordingTrayShell shell_;
  MemorySettingsStore settings_;
  FixedLocaleFormat locale_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(ImapPushDovecot, ReportsAMessageDeliveredWhileIdlingOnce) {
  Start(true);
  ASSERT_TRUE(WaitFor(loop_, [&] { return Logged("Waiting for new mail in INBOX (IDLE)"); }))
      << dovecot_->LogText();
  Deliver("First");
  ASSERT_TRUE(WaitFor(loop_, [&] { return window_->MailList().Count() == 1; }));
  EXPECT_EQ(window_->MailList().Rows()[0].subject, "First");
  Deliver("Second");
  ASSERT_TRUE(WaitFor(loop_, [&] { return window_->MailList().Count() == 2; }));
  EXPECT_EQ(window_->MailList().Rows()[1].subject, "Second");
  std::size_t reports = 0;
  for (const std::string& line : window_->LogMemo().Lines()) {
    reports += line.find("1 new mails!") != std::string::npos ? 1 : 0;
  }
  EXPECT_EQ(reports, 2u);
  EXPECT_EQ(window_->Push().Count(), 1u);
}

TEST_F(ImapPushDovecot, AOneShotRunKeepsNoWatcher) {
  Start(false);
  EXPECT_EQ(window_->Push().Count(), 0u);
}

}  // namespace
}  // namespace corvel::test
