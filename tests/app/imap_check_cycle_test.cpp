// An IMAP account through the one check cycle, against a scripted server:
// the exact commands of a check (read-only), the rows and their identifiers,
// the seen store per folder, a renumbered folder taken as seen, and the
// discovery of a login method, strongest first.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "accounts/account_options.h"
#include "accounts/file_io.h"
#include "main_window_fixture.h"
#include "support/scripted_imap_server.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kSeenFile[] = "imap.uidl";
constexpr char kHeaders[] = " (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE)])";

class ImapCheckCycleTest : public MainWindowTest {
 protected:
  // One check of the IMAP account on `port`, watching `folders`.
  void Check(const std::string& port, const std::string& authMethod = "NONE",
             const std::string& folders = "INBOX") {
    window_.reset();
    std::filesystem::remove(kAccountsFileName);
    TestAccount account;
    account.port = port;
    account.authMethod = authMethod;
    account.uidlFileName = kSeenFile;
    AddAccount(account);
    EditAccountOptions(kAccountOptionsFileName, kSeenFile, [&](OptionSection& section) {
      std::string why;
      StoreProtocolOptions({MailProtocol::imap, *ParseFolderList(folders, why)}, section);
    });
    settings_.Preset(kProgramKey, "AllMail", "True");
    Start();
    view_.SetChecked(Control::AllMailChkBx, true);
    Tick();
  }

  [[nodiscard]] std::vector<std::string> Uidls() const {
    std::vector<std::string> uidls;
    for (const MailRow& row : window_->MailList().Rows()) uidls.push_back(row.uidl);
    return uidls;
  }
};

// Logged in with LOGIN, INBOX examined with `exists` messages and the
// UIDVALIDITY `validity`, searched.
ImapScript Examined(const std::string& exists, const std::string& validity,
                    const std::string& uids) {
  ImapScript script;
  script.Send("* OK [CAPABILITY IMAP4rev1 IDLE] hi")
      .Expect("a1 LOGIN user secret")
      .Send("a1 OK [CAPABILITY IMAP4rev1 IDLE] in")
      .Expect("a2 EXAMINE INBOX")
      .Send("* " + exists + " EXISTS")
      .Send("* OK [UIDVALIDITY " + validity + "] ok")
      .Send("a2 OK [READ-ONLY] done")
      .Expect("a3 UID SEARCH ALL")
      .Send("* SEARCH" + uids)
      .Send("a3 OK");
  return script;
}

TEST_F(ImapCheckCycleTest, ReportsEachNewMessageOnceAndARenumberedFolderNotAtAll) {
  ImapScript first = Examined("2", "7", " 4 9");
  first.Expect("a4 UID FETCH 4,9 (UID RFC822.SIZE)")
      .Send("* 1 FETCH (UID 4 RFC822.SIZE 300)")
      .Send("* 2 FETCH (UID 9 RFC822.SIZE 500)")
      .Send("a4 OK")
      .Expect(std::string("a5 UID FETCH 4,9") + kHeaders)
      // The answers out of order: the rows keep the messages' order.
      .SendLiteral("* 2 FETCH (UID 9 RFC822.SIZE 500 BODY[HEADER.FIELDS (FROM SUBJECT DATE)] ",
                   "From: Bob\r\nSubject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\n\r\n", ")")
      .SendLiteral("* 1 FETCH (UID 4 RFC822.SIZE 300 BODY[HEADER.FIELDS (FROM SUBJECT DATE)] ",
                   "From: Ann\r\nSubject: Hi\r\n folded\r\nDate: d1\r\n\r\n", ")")
      .Send("a5 OK")
      .Expect("a6 LOGOUT")
      .SendAndClose("a6 OK");
  ImapScript second = Examined("2", "7", " 4 9");
  second.Expect("a4 LOGOUT").SendAndClose("a4 OK");
  ImapScript renumbered = Examined("3", "8", " 1 2 3");
  renumbered.Expect("a4 LOGOUT").SendAndClose("a4 OK");
  ScriptedImapServer server({std::move(first), std::move(second), std::move(renumbered)});

  Check(server.PortText());
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Logging in with LOGIN...", "Logged in!", "2 new mails! (800 bytes)",
                          "Logged out from 127.0.0.1..."));
  ASSERT_EQ(window_->MailList().Count(), 2u);
  EXPECT_EQ(window_->MailList().Rows()[0].subject, "Hi folded");
  EXPECT_EQ(window_->MailList().Rows()[0].bytes, "300");
  EXPECT_EQ(window_->MailList().Rows()[1].subject,
            "Gr\xFC\xDF"
            "e");
  EXPECT_THAT(Uidls(), ElementsAre("INBOX/7/4", "INBOX/7/9"));
  EXPECT_EQ(ReadWholeFile(kSeenFile), "INBOX/7/\r\nINBOX/7/4\r\nINBOX/7/9\r\n");

  Check(server.PortText());
  EXPECT_EQ(LogOf("Home")[4], "No messages, quitting...");
  EXPECT_THAT(window_->MailList().Rows(), IsEmpty());

  Check(server.PortText());
  EXPECT_EQ(LogOf("Home")[4],
            "The UIDVALIDITY of INBOX changed from 7 to 8: its messages are taken as seen");
  EXPECT_EQ(LogOf("Home")[5], "No messages, quitting...");
  EXPECT_THAT(window_->MailList().Rows(), IsEmpty());
  EXPECT_EQ(ReadWholeFile(kSeenFile),
            "INBOX/7/\r\nINBOX/7/4\r\nINBOX/7/9\r\nINBOX/8/\r\nINBOX/8/1\r\nINBOX/8/2\r\n"
            "INBOX/8/3\r\n");
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

TEST_F(ImapCheckCycleTest, FindsTheStrongestAnnouncedLoginAndRemembersIt) {
  ImapScript script;
  script.Send("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN AUTH=CRAM-MD5 LOGINDISABLED] hi")
      .Expect("a1 AUTHENTICATE CRAM-MD5")
      .Send("+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+")
      .Receive()
      .Send("a1 NO [AUTHENTICATIONFAILED] no")
      .Expect("a2 AUTHENTICATE PLAIN")
      .Send("+ ")
      .Expect("AHVzZXIAc2VjcmV0")
      .Send("a2 OK [CAPABILITY IMAP4rev1] in")
      .Expect("a3 LOGOUT")
      .SendAndClose("a3 OK");
  ScriptedImapServer server(std::move(script));
  Check(server.PortText(), "");
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Trying to figure out AUTH type...", "Trying CramMD5...",
                          "Trying AUTHENTICATE PLAIN...", "AUTHENTICATE PLAIN worked!",
                          "Saving AUTH type and logging out...", "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Table()[0].PlainAuthMethod(), "PLAIN");
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

// INBOX (UIDVALIDITY 7) examined with `exists` messages and UIDNEXT `next`;
// searched for `uids` unless the check is to stop there.
ImapScript ExaminedUpTo(const std::string& exists, const std::string& next,
                        const std::optional<std::string>& uids) {
  ImapScript script;
  script.Send("* OK [CAPABILITY IMAP4rev1] hi")
      .Expect("a1 LOGIN user secret")
      .Send("a1 OK [CAPABILITY IMAP4rev1] in")
      .Expect("a2 EXAMINE INBOX")
      .Send("* " + exists + " EXISTS")
      .Send("* OK [UIDVALIDITY 7] ok")
      .Send("* OK [UIDNEXT " + next + "] next")
      .Send("a2 OK [READ-ONLY] done");
  if (!uids) return script.Expect("a3 LOGOUT").SendAndClose("a3 OK");
  return script.Expect("a3 UID SEARCH ALL").Send("* SEARCH" + *uids).Send("a3 OK");
}

std::string HeaderAnswer(const std::string& number, const std::string& uid) {
  return "* " + number + " FETCH (UID " + uid + " BODY[HEADER.FIELDS (FROM SUBJECT DATE)] ";
}

TEST_F(ImapCheckCycleTest, AFolderListedWholeIsNotListedAgainUntilItsUidNextMoves) {
  // The header of UID 9 does not come: it stays new, so the listing is not
  // recorded whole.
  ImapScript partly = ExaminedUpTo("2", "10", " 4 9");
  partly.Expect("a4 UID FETCH 4,9 (UID RFC822.SIZE)")
      .Send("* 1 FETCH (UID 4 RFC822.SIZE 30)")
      .Send("* 2 FETCH (UID 9 RFC822.SIZE 50)")
      .Send("a4 OK")
      .Expect(std::string("a5 UID FETCH 4,9") + kHeaders)
      .SendLiteral(HeaderAnswer("1", "4"), "Subject: four\r\n\r\n", ")")
      .Send("a5 OK")
      .Expect("a6 LOGOUT")
      .SendAndClose("a6 OK");
  ImapScript whole = ExaminedUpTo("2", "10", " 4 9");
  whole.Expect("a4 UID FETCH 9 (UID RFC822.SIZE)")
      .Send("* 2 FETCH (UID 9 RFC822.SIZE 50)")
      .Send("a4 OK")
      .Expect(std::string("a5 UID FETCH 9") + kHeaders)
      .SendLiteral(HeaderAnswer("2", "9"), "Subject: nine\r\n\r\n", ")")
      .Send("a5 OK")
      .Expect("a6 LOGOUT")
      .SendAndClose("a6 OK");
  // Nothing added (UIDNEXT still 10; one message expunged meanwhile): no
  // search.
  ImapScript unchanged = ExaminedUpTo("1", "10", std::nullopt);
  ImapScript added = ExaminedUpTo("2", "12", " 9 11");
  added.Expect("a4 UID FETCH 11 (UID RFC822.SIZE)")
      .Send("* 2 FETCH (UID 11 RFC822.SIZE 70)")
      .Send("a4 OK")
      .Expect(std::string("a5 UID FETCH 11") + kHeaders)
      .SendLiteral(HeaderAnswer("2", "11"), "Subject: eleven\r\n\r\n", ")")
      .Send("a5 OK")
      .Expect("a6 LOGOUT")
      .SendAndClose("a6 OK");
  ScriptedImapServer server(
      {std::move(partly), std::move(whole), std::move(unchanged), std::move(added)});

  Check(server.PortText());
  EXPECT_THAT(Uidls(), ElementsAre("INBOX/7/4"));
  EXPECT_EQ(ReadWholeFile(kSeenFile), "INBOX/7/\r\nINBOX/7/4\r\n");
  Check(server.PortText());
  EXPECT_THAT(Uidls(), ElementsAre("INBOX/7/9"));
  const std::string recordedWhole = "INBOX/7/\r\nINBOX/7/4\r\nINBOX/7/9\r\nINBOX/7/UIDNEXT 10\r\n";
  EXPECT_EQ(ReadWholeFile(kSeenFile), recordedWhole);
  Check(server.PortText());
  EXPECT_EQ(LogOf("Home")[4], "No messages, quitting...");
  EXPECT_THAT(window_->MailList().Rows(), IsEmpty());
  EXPECT_EQ(ReadWholeFile(kSeenFile), recordedWhole);
  Check(server.PortText());
  EXPECT_THAT(Uidls(), ElementsAre("INBOX/7/11"));
  EXPECT_EQ(ReadWholeFile(kSeenFile), recordedWhole + "INBOX/7/11\r\nINBOX/7/UIDNEXT 12\r\n");
  for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
}

}  // namespace
}  // namespace corvel::test
