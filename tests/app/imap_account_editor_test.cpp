// The editor's protocol choice and folders: choosing IMAP offers its port and
// leaves the mail on the server; "Update" writes the protocol options beside
// the record, and the record shows them again.
#include <gtest/gtest.h>

#include "accounts/account_options.h"
#include "accounts/file_io.h"
#include "main_window_fixture.h"

namespace corvel::test {
namespace {

using ImapAccountEditorTest = MainWindowTest;

TEST_F(ImapAccountEditorTest, ChoosingImapOffersItsPortAndUpdateKeepsTheFolders) {
  TestAccount account;
  AddAccount(account);
  Start();
  window_->OpenButtonClick();
  EXPECT_TRUE(view_.ControlEnabled(Control::ProtocolBox));
  EXPECT_EQ(view_.Text(Control::ProtocolBox), "POP3");
  view_.SetText(Control::PortEdit, "995");
  view_.SetText(Control::ProtocolBox, "IMAP");
  window_->ProtocolBoxChange();
  EXPECT_EQ(view_.Text(Control::PortEdit), "993");
  EXPECT_TRUE(view_.Checked(Control::LeaveMailChkBx));
  view_.SetText(Control::FoldersEdit, "INBOX,Lists/dev");
  window_->btnUpdateClick();

  AccountFile file;
  file.Open();
  const AccountRecord record = file.ReadRecord(0);
  EXPECT_EQ(record.Port, 993);
  EXPECT_EQ(ReadWholeFile(kAccountOptionsFileName),
            "[" + record.PlainUidlFileName() + "]\nprotocol=imap\nfolders=INBOX,Lists/dev\n");
  window_->btnNewClick();
  EXPECT_EQ(view_.Text(Control::ProtocolBox), "POP3");
  window_->btnFirstClick();
  EXPECT_EQ(view_.Text(Control::ProtocolBox), "IMAP");
  EXPECT_EQ(view_.Text(Control::FoldersEdit), "INBOX,Lists/dev");

  // Folders an IMAP account cannot watch are refused, and nothing written.
  view_.SetText(Control::FoldersEdit, " ");
  window_->btnUpdateClick();
  EXPECT_EQ(view_.Informations().back(), "No folder specified!");
  EXPECT_EQ(ProtocolOptionsOf(
                LoadAccountOptions(kAccountOptionsFileName).Find(record.PlainUidlFileName()))
                .folders,
            (std::vector<std::string>{"INBOX", "Lists/dev"}));
}

}  // namespace
}  // namespace corvel::test
