// A server that drops the connection anywhere in a complete check of three
// new messages, after every byte it sends, by an orderly close and by a
// reset, message by message and with the listings and pipelined headers:
// each check ends through its normal end, nothing crashes (the sanitizer
// build runs this too), a row is shown for every header that arrived whole,
// the seen-message file holds exactly the identifiers whose rows were shown,
// and the next check shows the others: no message is lost and none is shown
// twice, whatever the offset.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "accounts/file_io.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/scripted_pop3_server.h"

namespace corvel::test {
namespace {

using ::testing::IsEmpty;

// The commands of one step of the check (several when pipelined) and the
// server's whole answer to them.
struct Exchange {
  std::vector<std::string> commands;  // none for the greeting
  std::string reply;
  // The identifiers whose rows this answer completes, one per TOP answer.
  std::vector<std::string> shown;
};

const std::string kTop = "+OK\r\nFrom: a@example.org\r\nSubject: hi\r\n\r\nbody\r\n.\r\n";
constexpr std::string_view kSeenBefore = "old-1\r\n";

std::vector<Exchange> Start() {
  return {{{}, "+OK ready\r\n", {}},
          {{"USER user"}, "+OK\r\n", {}},
          {{"PASS secret"}, "+OK in\r\n", {}},
          {{"STAT"}, "+OK 4 800\r\n", {}}};
}

// With "FastListing" off: UIDL n, then LIST n and TOP n 1 for each new one.
std::vector<Exchange> MessageByMessage() {
  std::vector<Exchange> check = Start();
  check.push_back({{"UIDL 1"}, "+OK 1 old-1\r\n", {}});
  for (const std::string n : {"2", "3", "4"}) {
    check.push_back({{"UIDL " + n}, "+OK " + n + " new-" + n + "\r\n", {}});
    check.push_back({{"LIST " + n}, "+OK " + n + " 200\r\n", {}});
    check.push_back({{"TOP " + n + " 1"}, kTop, {"new-" + n}});
  }
  check.push_back({{"QUIT"}, "+OK\r\n", {}});
  return check;
}

// The listings, then the headers pipelined; each TOP answer its own step, so
// that a cut between two of them is a cut between two rows.
std::vector<Exchange> Listed() {
  std::vector<Exchange> check = Start();
  check.push_back({{"UIDL"}, "+OK\r\n1 old-1\r\n2 new-2\r\n3 new-3\r\n4 new-4\r\n.\r\n", {}});
  check.push_back({{"LIST"}, "+OK\r\n1 200\r\n2 200\r\n3 200\r\n4 200\r\n.\r\n", {}});
  check.push_back({{"CAPA"}, "+OK\r\nPIPELINING\r\n.\r\n", {}});
  check.push_back({{"TOP 2 1", "TOP 3 1", "TOP 4 1"}, kTop, {"new-2"}});
  check.push_back({{}, kTop, {"new-3"}});
  check.push_back({{}, kTop, {"new-4"}});
  check.push_back({{"QUIT"}, "+OK\r\n", {}});
  return check;
}

// The server's side of the check, dropped after its first `cut` bytes.
Pop3Script CutScript(const std::vector<Exchange>& check, std::size_t cut, bool reset) {
  Pop3Script script;
  std::size_t sent = 0;
  for (const Exchange& exchange : check) {
    if (sent == cut) break;
    for (const std::string& command : exchange.commands) script.Expect(command);
    const std::string part = exchange.reply.substr(0, cut - sent);
    script.SendRaw(part);
    sent += part.size();
  }
  return reset ? script.Reset() : script.Close();
}

// The identifiers whose rows a check cut after `cut` bytes has shown.
std::vector<std::string> ShownBefore(const std::vector<Exchange>& check, std::size_t cut) {
  std::vector<std::string> shown;
  std::size_t end = 0;
  for (const Exchange& exchange : check) {
    end += exchange.reply.size();
    if (end > cut) break;
    shown.insert(shown.end(), exchange.shown.begin(), exchange.shown.end());
  }
  return shown;
}

std::vector<std::string> Identifiers(const NewMailList& list) {
  std::vector<std::string> ids;
  for (const MailRow& row : list.Rows()) ids.push_back(row.uidl);
  return ids;
}

class ConnectionCutTest : public MainWindowTest {};

TEST_F(ConnectionCutTest, CutAfterEveryByteLosesNoMessageAndShowsNoneTwice) {
  // The next check's server, with the same mailbox.
  MailboxPop3Server mailbox;
  for (const std::string id : {"old-1", "new-2", "new-3", "new-4"}) {
    mailbox.AddMessage(id, "From: a@example.org\r\nSubject: hi\r\n\r\nbody\r\n");
  }
  for (const bool fast : {false, true}) {
    const std::vector<Exchange> check = fast ? Listed() : MessageByMessage();
    std::size_t total = 0;
    for (const Exchange& exchange : check) total += exchange.reply.size();
    // Reset as well as close where the program reads each answer before it
    // sends the next command; listed, the close does.
    const std::vector<bool> ways = fast ? std::vector<bool>{false} : std::vector<bool>{false, true};
    std::vector<Pop3Script> scripts;
    for (const bool reset : ways) {
      for (std::size_t cut = 0; cut <= total; ++cut) {
        scripts.push_back(CutScript(check, cut, reset));
      }
    }
    ScriptedPop3Server server(std::move(scripts));

    window_.reset();
    std::filesystem::remove(kAccountsFileName);
    for (const std::string& port : {server.PortText(), mailbox.PortText()}) {
      TestAccount account;
      account.port = port;
      account.authMethod = "NONE";
      account.uidlFileName = "cut.uidl";
      account.interval = 100000;  // checked here only, never by the timer
      AddAccount(account);
    }
    settings_.Preset(kProgramKey, "AllMail", "True");
    settings_.Preset(kProgramKey, "FastListing", fast ? "True" : "False");
    MainWindowOptions options;
    options.pop3Timeout = 1;
    Start(options);

    std::set<std::vector<std::string>> followedUp;
    for (const bool reset : ways) {
      for (std::size_t cut = 0; cut <= total; ++cut) {
        SCOPED_TRACE((fast ? "listed, " : "message by message, ") +
                     std::string(reset ? "reset after " : "close after ") + std::to_string(cut) +
                     " bytes");
        std::ofstream("cut.uidl", std::ios::binary | std::ios::trunc) << kSeenBefore;
        window_->MailList().Clear();
        window_->Checker().CheckAccount(0);
        const std::vector<std::string> shown = Identifiers(window_->MailList());
        const std::vector<std::string> whole = ShownBefore(check, cut);
        if (reset) {
          // A reset may destroy answers sent ahead that the program had not
          // read yet (pipelined ones): those are shown by the next check.
          ASSERT_LE(shown.size(), whole.size());
          EXPECT_TRUE(std::equal(shown.begin(), shown.end(), whole.begin()));
        } else {
          EXPECT_EQ(shown, whole);
        }
        std::string seen(kSeenBefore);
        for (const std::string& id : shown) seen += id + "\r\n";
        EXPECT_EQ(ReadWholeFile("cut.uidl"), seen);
        EXPECT_EQ(LogOf("Home").back(), "Logged out from 127.0.0.1...");

        // The next check shows exactly the messages this one did not (what
        // it shows depends on nothing but what this one showed).
        if (!followedUp.insert(shown).second) continue;
        window_->MailList().Clear();
        ASSERT_EQ(window_->Checker().CheckAccount(1), CheckOutcome::Checked);
        std::vector<std::string> rest;
        for (const std::string id : {"new-2", "new-3", "new-4"}) {
          if (std::find(shown.begin(), shown.end(), id) == shown.end()) rest.push_back(id);
        }
        EXPECT_EQ(Identifiers(window_->MailList()), rest);
        EXPECT_EQ(ReadWholeFile("cut.uidl"), "old-1\r\nnew-2\r\nnew-3\r\nnew-4\r\n");
      }
    }
    EXPECT_THAT(server.Failures(), IsEmpty());
  }
}

}  // namespace
}  // namespace corvel::test
