// The running program and settings changed by another process: start-up
// writes nothing back, and what is stored holds from the next tick on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "main_window_fixture.h"

namespace corvel::test {
namespace {

using SettingsTakenIn = MainWindowTest;

TEST_F(SettingsTakenIn, StartUpWritesNothingAndTheNextTickShowsWhatIsStored) {
  settings_.Preset(kProgramKey, "Balloon", "True");
  settings_.Preset(kProgramKey, "Log", "True");
  Start();
  EXPECT_TRUE(view_.Checked(Control::BalloonChkBx));
  EXPECT_THAT(settings_.Operations(), ::testing::IsEmpty());
  window_->MailList().Append(MailRow{"Home", "", "", "", "10", "", "", ""});

  // `corvel settings set` meanwhile.
  settings_.Preset(kProgramKey, "Balloon", "False");
  settings_.Preset(kProgramKey, "AllMail", "True");
  settings_.Preset(kProgramKey, "ConnErr", "True");
  Tick();
  EXPECT_FALSE(view_.Checked(Control::BalloonChkBx));
  EXPECT_TRUE(view_.Checked(Control::AllMailChkBx));
  EXPECT_TRUE(view_.Checked(Control::ConnErrChkBx));
  EXPECT_TRUE(view_.Checked(Control::LogChkBx));
  // The rows change their kind with the "AllMail" box.
  EXPECT_TRUE(window_->MailList().Rows().empty());
  EXPECT_THAT(settings_.Operations(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace corvel::test
