// The per-account options side file: its bytes, edits applied under its lock
// to what the file holds, lines and keys of other versions kept; the folder
// list; and the editor's rules for a change of protocol.
#include "accounts/account_options.h"

#include <gtest/gtest.h>

#include "accounts/account_form.h"
#include "accounts/file_io.h"
#include "test_folder.h"

namespace corvel {
namespace {

using corvel::testing::TestFolder;

TEST(AccountOptionsFile, EditsOneSectionAndKeepsWhatItDoesNotKnow) {
  TestFolder folder;
  const std::filesystem::path file = folder.Path() / "mail.options.qor";
  const ProtocolOptions imap{MailProtocol::imap, {"INBOX", "Lists/dev"}};
  EditAccountOptions(file, "A.uidl", [&](OptionSection& s) { StoreProtocolOptions(imap, s); });
  EXPECT_EQ(ReadWholeFile(file), "[A.uidl]\nprotocol=imap\nfolders=INBOX,Lists/dev\n");

  // A newer version's lines stay, in their places, through this version's
  // edits; a POP3 account keeps no section.
  ReplaceFileAtomically(file,
                        "# note\n[A.uidl]\nquiet=yes\nprotocol=imap\nodd line\n"
                        "folders=INBOX\n[B.uidl]\nprotocol=imap\r\n");
  EditAccountOptions(file, "A.uidl", [&](OptionSection& s) { StoreProtocolOptions(imap, s); });
  EditAccountOptions(file, "B.uidl", [](OptionSection& s) { StoreProtocolOptions({}, s); });
  EXPECT_EQ(ReadWholeFile(file),
            "# note\n[A.uidl]\nquiet=yes\nprotocol=imap\nodd line\nfolders=INBOX,Lists/dev\n");
  const AccountOptionsFile loaded = LoadAccountOptions(file);
  EXPECT_EQ(ProtocolOptionsOf(loaded.Find("A.uidl")), imap);
  EXPECT_EQ(ProtocolOptionsOf(loaded.Find("B.uidl")), ProtocolOptions{});
  EXPECT_EQ(loaded.Find("A.uidl")->Get("quiet"), "yes");

  // An edit that refuses writes nothing.
  EXPECT_THROW(
      EditAccountOptions(file, "A.uidl", [](OptionSection& s) { s.Set("protocol", "imap\nx=1"); }),
      std::invalid_argument);
  EXPECT_EQ(LoadAccountOptions(file).Find("A.uidl")->Get("protocol"), "imap");
}

TEST(AccountOptionsFile, ReadsFolderListsAndRefusesUnusableOnes) {
  std::string why;
  EXPECT_EQ(ParseFolderList(" INBOX, Lists/dev ,INBOX,\xC3\x89t\xC3\xA9", why),
            (std::vector<std::string>{"INBOX", "Lists/dev", "\xC3\x89t\xC3\xA9"}));
  const std::pair<const char*, const char*> refused[] = {
      {" ", "No folder specified!"},
      {"INBOX,,Sent", "A folder name cannot be empty!"},
      {"In\tbox", "The folder name 'In\tbox' cannot be used!"},
      {"\xC3", "The folder name '\xC3' cannot be used!"},
  };
  for (const auto& [text, message] : refused) {
    EXPECT_EQ(ParseFolderList(text, why), std::nullopt) << text;
    EXPECT_EQ(why, message);
  }
}

TEST(AccountFormProtocol, SwitchingOffersTheProtocolsOwnPort) {
  const std::pair<const char*, const char*> toImap[] = {
      {"110", "143"}, {"pop3", "143"}, {"995", "993"}, {"", "143"}, {"8110", "8110"}};
  for (const auto& [before, after] : toImap) {
    AccountForm form;
    form.port = before;
    form.folders.clear();
    SwitchProtocol(form, MailProtocol::imap);
    EXPECT_EQ(form.port, after) << before;
    EXPECT_TRUE(form.leaveMail);
    EXPECT_EQ(form.folders, "INBOX");
    SwitchProtocol(form, MailProtocol::pop3);
    EXPECT_EQ(form.port,
              std::string(before) == "pop3" || std::string(before).empty() ? "110" : before);
  }
  AccountForm form;
  form.protocol = MailProtocol::imap;
  form.folders = "INBOX,";
  EXPECT_EQ(InvalidFieldMessage(form), "A folder name cannot be empty!");
  EXPECT_EQ(ParsePortText("imaps"), 993);
}

}  // namespace
}  // namespace corvel
