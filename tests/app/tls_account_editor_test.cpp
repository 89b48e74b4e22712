// The editor's security choice: shown from byte 203 of the record, written
// back by "Update", usable only while the editor is open.
#include <gtest/gtest.h>

#include "main_window_fixture.h"

namespace corvel::test {
namespace {

class TlsAccountEditorTest : public MainWindowTest {
 protected:
  void AddWithMode(std::uint8_t byte) {
    TestAccount account;
    AddAccount(account);
    AccountFile file;
    file.Open();
    AccountRecord record = file.ReadRecord(0);
    record.SecurityModeByte = byte;
    file.WriteRecord(0, record);
  }

  [[nodiscard]] static AccountRecord RecordOnDisk(std::size_t index) {
    AccountFile file;
    file.Open();
    return file.ReadRecord(index);
  }
};

TEST(SecurityChoices, NameTheThreeModesAndReadAnythingElseAsAuto) {
  EXPECT_EQ(SecurityModeOfChoice("Auto (TLS on port 995 or 993)"), 0);
  EXPECT_EQ(SecurityModeOfChoice("STARTTLS"), 1);
  EXPECT_EQ(SecurityModeOfChoice("TLS"), 2);
  EXPECT_EQ(SecurityModeOfChoice("tls"), 0);
  EXPECT_EQ(SecurityModeOfChoice(""), 0);
}

TEST_F(TlsAccountEditorTest, ShowsTheRecordsModeAndIsUsableOnlyWhileOpen) {
  AddWithMode(1);
  Start();
  EXPECT_FALSE(view_.ControlEnabled(Control::SecurityBox));
  window_->OpenButtonClick();
  EXPECT_TRUE(view_.ControlEnabled(Control::SecurityBox));
  EXPECT_EQ(view_.Text(Control::SecurityBox), "STARTTLS");
  window_->OpenButtonClick();
  EXPECT_FALSE(view_.ControlEnabled(Control::SecurityBox));
  EXPECT_EQ(view_.Text(Control::SecurityBox), "Auto (TLS on port 995 or 993)");
}

TEST_F(TlsAccountEditorTest, UpdateWritesTheChosenModeIntoByte203) {
  AddWithMode(0);
  Start();
  window_->OpenButtonClick();
  view_.SetText(Control::SecurityBox, "TLS");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).SecurityModeByte, 2);
  EXPECT_EQ(RecordOnDisk(0).ToBytes()[kSecurityModeOffset], '\x02');
  view_.SetText(Control::SecurityBox, "Auto (TLS on port 995 or 993)");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).SecurityModeByte, 0);
}

TEST_F(TlsAccountEditorTest, AnUnknownByteShowsAsAutoAndIsWrittenBackAsZeroOnlyByUpdate) {
  AddWithMode(9);
  Start();
  window_->OpenButtonClick();
  EXPECT_EQ(view_.Text(Control::SecurityBox), "Auto (TLS on port 995 or 993)");
  // Opening rewrote the table as loaded; the byte is still as it was read.
  EXPECT_EQ(RecordOnDisk(0).SecurityModeByte, 9);
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).SecurityModeByte, 0);
}

TEST_F(TlsAccountEditorTest, NewAccountStartsAtAutoAndKeepsTheChoice) {
  Start();
  window_->OpenButtonClick();
  window_->btnNewClick();
  EXPECT_EQ(view_.Text(Control::SecurityBox), "Auto (TLS on port 995 or 993)");
  view_.SetText(Control::AccountNameEdit, "Mail");
  view_.SetText(Control::ServerEdit, "pop.example.org");
  view_.SetText(Control::PortEdit, "110");
  view_.SetText(Control::UserEdit, "me");
  view_.SetText(Control::PassEdit, "pw");
  view_.SetText(Control::SecurityBox, "STARTTLS");
  window_->btnUpdateClick();
  EXPECT_EQ(RecordOnDisk(0).SecurityMode(), 1);
  window_->btnFirstClick();
  EXPECT_EQ(view_.Text(Control::SecurityBox), "STARTTLS");
}

}  // namespace
}  // namespace corvel::test
