// Finding new mail from the whole identifier and size listings ("FastListing"
// on) and message by message ("FastListing" off): the commands each way sends,
// and that both give the user the same rows, counts, log and seen file, also
// against servers that refuse, cut short or garble the listing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "accounts/file_io.h"
#include "delay_proxy/delay_proxy.h"
#include "main_window_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"
#include "support/scripted_pop3_server.h"

namespace corvel {

void PrintTo(const MailRow& row, std::ostream* out) {
  *out << "{" << row.account << " | " << row.from << " | " << row.subject << " | " << row.date
       << " | " << row.bytes << " | " << row.uidl << " | " << row.rawFrom << " | " << row.rawSubject
       << "}";
}

namespace test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kSeenFile[] = "listing.uidl";

// What a check leaves for the user to see.
struct Outcome {
  std::vector<std::string> log;
  std::vector<MailRow> rows;
  std::string seen;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
  *out << ::testing::PrintToString(o.log) << ::testing::PrintToString(o.rows)
       << ::testing::PrintToString(o.seen);
}

// A login with USER and PASS and a STAT of `count` messages.
Pop3Script LoggedIn(const std::string& count) {
  Pop3Script script;
  script.Send("+OK hi").Expect("USER user").Send("+OK").Expect("PASS secret").Send("+OK");
  script.Expect("STAT").Send("+OK " + count + " 999");
  return script;
}

class MailboxListingTest : public MainWindowTest {
 protected:
  // One check of a fresh account on `port` whose seen file held `seen`.
  Outcome Check(const std::string& port, bool fast, bool allMail, bool leaveMail = true,
                const std::string& seen = "") {
    window_.reset();
    std::filesystem::remove(kAccountsFileName);
    ReplaceFileAtomically(kSeenFile, seen);
    TestAccount account;
    account.port = port;
    account.authMethod = "NONE";
    account.leaveMail = leaveMail;
    account.uidlFileName = kSeenFile;
    AddAccount(account);
    settings_.Preset(kProgramKey, "FastListing", fast ? "True" : "False");
    settings_.Preset(kProgramKey, "AllMail", allMail ? "True" : "False");
    Start();
    // The view outlives the windows: its box shows this check's choice.
    view_.SetChecked(Control::AllMailChkBx, allMail);
    Tick();
    return Outcome{LogOf("Home"), window_->MailList().Rows(), ReadWholeFile(kSeenFile)};
  }

  // The same mailbox behind two scripts, one per way: both must play out as
  // written and give the same outcome, which is returned.
  Outcome SameEitherWay(Pop3Script fastScript, Pop3Script slowScript, bool allMail,
                        const std::string& seen = "") {
    ScriptedPop3Server fastServer(std::move(fastScript));
    ScriptedPop3Server slowServer(std::move(slowScript));
    const Outcome fast = Check(fastServer.PortText(), true, allMail, true, seen);
    const Outcome slow = Check(slowServer.PortText(), false, allMail, true, seen);
    EXPECT_THAT(fastServer.Failures(), IsEmpty());
    EXPECT_THAT(slowServer.Failures(), IsEmpty());
    EXPECT_EQ(fast, slow);
    return fast;
  }
};

std::string Mail(std::string_view headers) {
  return std::string(headers) + "\r\nbody line\r\nsecond line\r\n";
}

// The commands of the last check on `server`, after the login (USER, PASS).
std::vector<std::string> CommandsSince(const MailboxPop3Server& server, std::size_t before) {
  const auto all = server.Commands();
  return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before + 2), all.end());
}

TEST_F(MailboxListingTest, BothWaysShowTheSameMailWithTheirOwnCommands) {
  MailboxPop3Server server;
  server.AddMessage("seen", Mail("From: Ann\r\nSubject: old\r\nDate: d1\r\n"));
  server.AddMessage("new1",
                    Mail("From: Bob\r\nSubject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\nDate: d2\r\n"));
  server.AddMessage("new1", Mail("From: Bob\r\nSubject: the same identifier\r\n"));
  server.AddMessage("new2", Mail("Subject: no sender\r\nDate: d4\r\n"));
  struct Case {
    bool leaveMail;
    bool allMail;
    std::vector<std::string> fast;
    std::vector<std::string> slow;
  };
  const Case cases[] = {
      {true,
       true,
       {"STAT", "UIDL", "LIST", "CAPA", "TOP 2 1", "TOP 4 1", "QUIT"},
       {"STAT", "UIDL 1", "UIDL 2", "LIST 2", "TOP 2 1", "UIDL 3", "UIDL 4", "LIST 4", "TOP 4 1",
        "QUIT"}},
      {true,
       false,
       {"STAT", "UIDL", "LIST", "QUIT"},
       {"STAT", "UIDL 1", "UIDL 2", "LIST 2", "UIDL 3", "UIDL 4", "LIST 4", "QUIT"}},
      {false,
       true,
       {"STAT", "LIST", "UIDL", "CAPA", "TOP 1 1", "TOP 2 1", "TOP 3 1", "TOP 4 1", "QUIT"},
       {"STAT", "LIST 1", "UIDL 1", "TOP 1 1", "LIST 2", "UIDL 2", "TOP 2 1", "LIST 3", "UIDL 3",
        "TOP 3 1", "LIST 4", "UIDL 4", "TOP 4 1", "QUIT"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "leave mail " << c.leaveMail << ", all mail " << c.allMail);
    std::size_t before = server.Commands().size();
    const Outcome fast = Check(server.PortText(), true, c.allMail, c.leaveMail, "old\r\nseen\r\n");
    EXPECT_EQ(CommandsSince(server, before), c.fast);
    before = server.Commands().size();
    const Outcome slow = Check(server.PortText(), false, c.allMail, c.leaveMail, "old\r\nseen\r\n");
    EXPECT_EQ(CommandsSince(server, before), c.slow);
    EXPECT_EQ(fast, slow);
  }

  // A message without a sender has a row of its own, with its own date, and
  // leaves the rows before it alone.
  const Outcome shown = Check(server.PortText(), true, true, true, "old\r\nseen\r\n");
  const auto size = [&](std::size_t i) {
    return std::to_string(server.Messages()[i].content.size());
  };
  const std::string gruesse =
      "Gr\xFC\xDF"
      "e";
  EXPECT_THAT(shown.rows, ElementsAre(MailRow{"Home", "Bob", gruesse, "d2", size(1), "new1", "Bob",
                                              "=?ISO-8859-1?Q?Gr=FC=DFe?="},
                                      MailRow{"Home", "", "no sender", "d4", size(3), "new2", "",
                                              "no sender"}));
  EXPECT_EQ(shown.log[4],
            "2 new mails! (" + std::to_string(std::stoi(size(1)) + std::stoi(size(3))) + " bytes)");
  EXPECT_EQ(shown.seen, "old\r\nseen\r\nnew1\r\nnew2\r\n");
}

TEST_F(MailboxListingTest, ServerBehindTheDelayProxyShowsTheSameMail) {
  MailboxPop3Server server;
  for (int i = 0; i < 3; ++i) {
    server.AddMessage("m" + std::to_string(i),
                      Mail("From: Ann\r\nSubject: " + std::to_string(i) + "\r\n"));
  }
  DelayProxy proxy(server.Port(), {.roundTrip = std::chrono::milliseconds(4)});
  const Outcome far = Check(std::to_string(proxy.Port()), true, true, true, "m1\r\n");
  EXPECT_EQ(far, Check(server.PortText(), true, true, true, "m1\r\n"));
  EXPECT_EQ(far.rows.size(), 2u);
}

// A header and one body line as the answer to TOP n 1.
void TopAnswer(Pop3Script& script, int n, const std::string& from) {
  script.Send("+OK");
  script.Send("From: " + from).Send("Subject: s" + std::to_string(n)).Send("").Send("b").Send(".");
}

void Top(Pop3Script& script, int n, const std::string& from) {
  TopAnswer(script.Expect("TOP " + std::to_string(n) + " 1"), n, from);
}

TEST_F(MailboxListingTest, RefusedListingFallsBackToOneCommandPerMessageInTheSameSession) {
  auto slow = [](Pop3Script script) {
    script.Expect("UIDL 1").Send("+OK 1 a").Expect("UIDL 2").Send("+OK 2 b");
    script.Expect("LIST 2").Send("+OK 2 20");
    Top(script, 2, "Bob");
    return script.Expect("QUIT").Send("+OK").Close();
  };
  Pop3Script fast = LoggedIn("2");
  fast.Expect("UIDL").Send("-ERR not now");
  const Outcome outcome = SameEitherWay(slow(std::move(fast)), slow(LoggedIn("2")), true, "a\r\n");
  EXPECT_EQ(outcome.log[4], "1 new mails! (20 bytes)");
  EXPECT_EQ(outcome.seen, "a\r\nb\r\n");
}

TEST_F(MailboxListingTest, ListingCutByTheServerRecordsNoMessageItCouldNotReport) {
  Pop3Script fast = LoggedIn("3");
  fast.Expect("UIDL").Send("+OK").Send("1 a").Send("2 b").SendRaw("3 c").Close();
  Pop3Script slow = LoggedIn("3");
  slow.Expect("UIDL 1").Send("+OK 1 a").Expect("UIDL 2").Send("+OK 2 b").Expect("LIST 2").Close();
  const Outcome outcome = SameEitherWay(std::move(fast), std::move(slow), true, "a\r\n");
  EXPECT_EQ(outcome.log[4], "the check ended early: the connection ended");
  EXPECT_EQ(outcome.seen, "a\r\n");
  EXPECT_EQ(window_->Checker().LastReport().outcome, CheckOutcome::EndedEarly);
  EXPECT_EQ(window_->Checker().LastReport().reason, "the check ended early: the connection ended");
}

TEST_F(MailboxListingTest, GapsAndRepeatedIdentifiersCountAsTheyWouldMessageByMessage) {
  // Message 3 has no identifier; message 4 repeats message 2's.
  Pop3Script fast = LoggedIn("5");
  fast.Expect("UIDL").Send("+OK").Send("1 a").Send("2 b").Send("4 b").Send("5 c").Send(".");
  fast.Expect("LIST").Send("+OK").Send("1 10").Send("2 20").Send("3 30").Send("5 50").Send(".");
  fast.Expect("CAPA").Send("-ERR unknown command");  // one TOP after another
  Top(fast, 2, "Bob");
  Top(fast, 5, "Cy");
  fast.Expect("QUIT").Send("+OK").Close();
  Pop3Script slow = LoggedIn("5");
  slow.Expect("UIDL 1").Send("+OK 1 a");
  slow.Expect("UIDL 2").Send("+OK 2 b").Expect("LIST 2").Send("+OK 2 20");
  Top(slow, 2, "Bob");
  slow.Expect("UIDL 3").Send("-ERR no such message").Expect("UIDL 4").Send("+OK 4 b");
  slow.Expect("UIDL 5").Send("+OK 5 c").Expect("LIST 5").Send("+OK 5 50");
  Top(slow, 5, "Cy");
  slow.Expect("QUIT").Send("+OK").Close();
  const Outcome outcome = SameEitherWay(std::move(fast), std::move(slow), true, "a\r\n");
  EXPECT_EQ(outcome.log[4], "2 new mails! (70 bytes)");
  EXPECT_EQ(outcome.seen, "a\r\nb\r\nc\r\n");
  ASSERT_EQ(outcome.rows.size(), 2u);
  EXPECT_EQ(outcome.rows[1].uidl, "c");
}

TEST_F(MailboxListingTest, HeadersArePipelinedOnlyWhenTheServerAnnouncesIt) {
  struct Case {
    const char* name;
    std::vector<std::string> capa;
    bool pipelined;
    bool cut;  // the server closes in the middle of the second answer
  };
  const Case cases[] = {
      {"pipelining", {"+OK", "TOP", "PIPELINING", "."}, true, false},
      {"cut while pipelining", {"+OK", "PIPELINING", "."}, true, true},
      {"no pipelining", {"+OK", "TOP", "UIDL", "."}, false, false},
  };
  auto secondAnswer = [](Pop3Script& script, bool cut) {
    if (cut) {
      script.Send("+OK").Send("From: Cy").Close();
    } else {
      TopAnswer(script, 3, "Cy");
      script.Expect("QUIT").Send("+OK").Close();
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pop3Script fast = LoggedIn("3");
    fast.Expect("UIDL").Send("+OK").Send("1 a").Send("2 b").Send("3 c").Send(".");
    fast.Expect("LIST").Send("+OK").Send("1 10").Send("2 20").Send("3 30").Send(".");
    fast.Expect("CAPA");
    for (const std::string& line : c.capa) fast.Send(line);
    if (c.pipelined) {
      // Both commands arrive before the first answer goes out.
      fast.Expect("TOP 2 1").Expect("TOP 3 1");
      TopAnswer(fast, 2, "Bob");
    } else {
      Top(fast, 2, "Bob");
      fast.Expect("TOP 3 1");
    }
    secondAnswer(fast, c.cut);
    Pop3Script slow = LoggedIn("3");
    slow.Expect("UIDL 1").Send("+OK 1 a");
    slow.Expect("UIDL 2").Send("+OK 2 b").Expect("LIST 2").Send("+OK 2 20");
    Top(slow, 2, "Bob");
    slow.Expect("UIDL 3").Send("+OK 3 c").Expect("LIST 3").Send("+OK 3 30").Expect("TOP 3 1");
    secondAnswer(slow, c.cut);
    const Outcome outcome = SameEitherWay(std::move(fast), std::move(slow), true, "a\r\n");
    // Cut, the message without its row is left for the next check.
    EXPECT_EQ(outcome.log[4], c.cut ? "1 new mails! (20 bytes)" : "2 new mails! (50 bytes)");
    EXPECT_EQ(outcome.log[5], c.cut ? "the check ended early: the connection ended"
                                    : "Logged out from 127.0.0.1...");
    EXPECT_EQ(outcome.seen, c.cut ? "a\r\nb\r\n" : "a\r\nb\r\nc\r\n");
    ASSERT_EQ(outcome.rows.size(), c.cut ? 1u : 2u);
    EXPECT_EQ(outcome.rows[0].subject, "s2");
  }
}

TEST_F(MailboxListingTest, ListingsOutOfOrderAreReplacedByOneCommandPerMessage) {
  // A size listing that cannot be matched costs LIST n for each new message.
  auto slow = [](Pop3Script script) {
    script.Expect("UIDL 1").Send("+OK 1 a").Expect("LIST 1").Send("+OK 1 10");
    script.Expect("UIDL 2").Send("+OK 2 b").Expect("LIST 2").Send("+OK 2 20");
    return script.Expect("QUIT").Send("+OK").Close();
  };
  Pop3Script fast = LoggedIn("2");
  fast.Expect("UIDL").Send("+OK").Send("2 b").Send("1 a").Send(".");
  const Outcome outcome = SameEitherWay(slow(std::move(fast)), slow(LoggedIn("2")), false);
  EXPECT_EQ(outcome.seen, "a\r\nb\r\n");

  Pop3Script sizes = LoggedIn("2");
  sizes.Expect("UIDL").Send("+OK").Send("1 a").Send("2 b").Send(".");
  sizes.Expect("LIST").Send("+OK").Send("1 10").Send("1 10").Send("2 20").Send(".");
  sizes.Expect("LIST 1").Send("+OK 1 10").Expect("LIST 2").Send("+OK 2 20");
  sizes.Expect("QUIT").Send("+OK").Close();
  ScriptedPop3Server server(std::move(sizes));
  EXPECT_EQ(Check(server.PortText(), true, false), outcome);
  EXPECT_THAT(server.Failures(), IsEmpty());
}

TEST_F(MailboxListingTest, IdentifiersKeepEveryByteAndAreToldApartExactly) {
  // Two identifiers that differ only after a TAB, bytes outside 33-126, and a
  // lone CR, which the seen file cannot hold as it is.
  const std::vector<std::string> ids = {"a\tb", "a\tc", "x\xFF y ", "q\rz"};
  auto fast = [&](const std::string& seen) {
    Pop3Script script = LoggedIn("4");
    script.Expect("UIDL").Send("+OK");
    for (std::size_t i = 0; i < ids.size(); ++i)
      script.SendRaw(std::to_string(i + 1) + " " + ids[i] + "\r\n");
    script.Send(".");
    if (seen.empty())
      script.Expect("LIST").Send("+OK").Send("1 1").Send("2 2").Send("3 3").Send("4 4").Send(".");
    return script.Expect("QUIT").Send("+OK").Close();
  };
  Pop3Script slow = LoggedIn("4");
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    slow.Expect("UIDL " + n).SendRaw("+OK " + n + "\t" + ids[i] + "\r\n");
    slow.Expect("LIST " + n).Send("+OK " + n + " " + n);
  }
  slow.Expect("QUIT").Send("+OK").Close();
  const Outcome first = SameEitherWay(fast(""), std::move(slow), false);
  EXPECT_EQ(first.log[4], "4 new mails! (10 bytes)");
  EXPECT_EQ(first.seen, "a\tb\r\na\tc\r\nx\xFF y \r\nq\x10rz\r\n");
  ScriptedPop3Server again(fast(first.seen));
  const Outcome second = Check(again.PortText(), true, false, true, first.seen);
  EXPECT_EQ(second.log[4], "No messages, quitting...");
  EXPECT_EQ(second.seen, first.seen);
  EXPECT_THAT(again.Failures(), IsEmpty());
}

TEST_F(MailboxListingTest, SizesMissingFromTheListingAreAskedAndACutListingReportsNoZeroBytes) {
  auto identified = [] {
    Pop3Script script = LoggedIn("3");
    script.Expect("UIDL").Send("+OK").Send("1 a").Send("2 b").Send("3 c").Send(".");
    return script.Expect("LIST").Send("+OK").Send("1 10").Send("2 20");
  };
  ScriptedPop3Server missing(
      identified().Send(".").Expect("LIST 3").Send("+OK 3 30").Expect("QUIT").Send("+OK").Close());
  const Outcome asked = Check(missing.PortText(), true, false);
  EXPECT_EQ(asked.log[4], "3 new mails! (60 bytes)");
  EXPECT_EQ(asked.seen, "a\r\nb\r\nc\r\n");
  ScriptedPop3Server cut(identified().Close());
  const Outcome ended = Check(cut.PortText(), true, false);
  EXPECT_EQ(ended.log[4], "the check ended early: the connection ended");
  EXPECT_EQ(ended.seen, "");
  EXPECT_THAT(ended.rows, IsEmpty());
  EXPECT_THAT(missing.Failures(), IsEmpty());
  EXPECT_THAT(cut.Failures(), IsEmpty());
}

TEST_F(MailboxListingTest, AnswerOutOfStepIsNeverShownAndTheRestIsAskedOnANewConnection) {
  // The answer to TOP 2 is a refusal followed by lines of a message: read as
  // the answer to TOP 3 they would show another message's header.
  Pop3Script first = LoggedIn("3");
  first.Expect("UIDL").Send("+OK").Send("1 a").Send("2 b").Send("3 c").Send(".");
  first.Expect("LIST").Send("+OK").Send("1 10").Send("2 20").Send("3 30").Send(".");
  first.Expect("CAPA").Send("+OK").Send("PIPELINING").Send(".");
  first.Expect("TOP 1 1").Expect("TOP 2 1").Expect("TOP 3 1");
  first.SendRaw(
      "+OK\r\nFrom: Ann\r\nSubject: s1\r\n\r\n.\r\n-ERR no such message\r\n"
      "From: stray\r\nSubject: stray\r\n\r\n.\r\n"
      "+OK\r\nFrom: Cy\r\nSubject: s3\r\n\r\n.\r\n");
  first.StaySilent();
  Pop3Script again;
  again.Send("+OK hi").Expect("USER user").Send("+OK").Expect("PASS secret").Send("+OK");
  again.Expect("UIDL 2").Send("+OK 2 b").Expect("TOP 2 1").Send("-ERR no such message");
  again.Expect("UIDL 3").Send("+OK 3 c");
  Top(again, 3, "Cy");
  again.Expect("QUIT").Send("+OK").Close();
  ScriptedPop3Server server({std::move(first), std::move(again)});
  const Outcome outcome = Check(server.PortText(), true, true);
  EXPECT_THAT(server.Failures(), IsEmpty());
  ASSERT_EQ(outcome.rows.size(), 2u);
  EXPECT_EQ(outcome.rows[0].from, "Ann");
  EXPECT_EQ(outcome.rows[1].from, "Cy");
  EXPECT_EQ(outcome.rows[1].uidl, "c");
  EXPECT_THAT(
      outcome.log,
      ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                  "Logging in with regular cleartext user/pass...", "Logged in!",
                  "The server's answers went out of step; connecting again",
                  "Connected to 127.0.0.1", "Logging in with regular cleartext user/pass...",
                  "Logged in!", "2 new mails! (40 bytes)", "Logged out from 127.0.0.1..."));
  // The refused message is looked for again by the next check.
  EXPECT_EQ(outcome.seen, "a\r\nc\r\n");
}

TEST_F(MailboxListingTest, ListingBeyondItsBoundsEndsTheCheckWhateverTheServerClaims) {
  struct Case {
    MailChecker::ListingBounds bounds;
    std::string why;
  };
  const Case cases[] = {
      {{1000, kMaxListingBytes}, "1000 messages or 67108864 bytes"},
      {{kMaxListingEntries, 50}, "1000000 messages or 50 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Pop3Script script = LoggedIn("2147483647");
    script.Expect("UIDL").Send("+OK");
    script.SendGenerated(
        100000, [](std::size_t i) { return std::to_string(i + 1) + " id" + std::to_string(i); });
    script.StaySilent();
    ScriptedPop3Server server(std::move(script));
    window_.reset();
    std::filesystem::remove(kAccountsFileName);
    ReplaceFileAtomically(kSeenFile, "");
    TestAccount account;
    account.port = server.PortText();
    account.authMethod = "NONE";
    account.uidlFileName = kSeenFile;
    AddAccount(account);
    Start();
    window_->Checker().SetListingBounds(c.bounds);
    Tick();
    EXPECT_EQ(LogOf("Home")[4], "the check ended early: the server's listing goes beyond " + c.why +
                                    " of identifiers");
    EXPECT_EQ(window_->Checker().LastReport().outcome, CheckOutcome::EndedEarly);
    EXPECT_EQ(ReadWholeFile(kSeenFile), "");
    // Nothing more is asked of a server that goes on listing.
    EXPECT_EQ(server.Transcript(), "USER user\r\nPASS secret\r\nSTAT\r\nUIDL\r\n");
  }
}

TEST_F(MailboxListingTest, ServerRefusingEveryIdentifierIsAskedAHundredTimes) {
  Pop3Script script = LoggedIn("2000000000");
  script.Expect("UIDL").Send("-ERR not now");
  for (int n = 1; n <= 100; ++n) {
    script.Expect("UIDL " + std::to_string(n)).Send("-ERR no such message");
  }
  script.Expect("QUIT").Send("+OK").Close();
  ScriptedPop3Server server(std::move(script));
  const Outcome outcome = Check(server.PortText(), true, false, true, "a\r\n");
  EXPECT_THAT(server.Failures(), IsEmpty());
  EXPECT_EQ(outcome.log[4], "No messages, quitting...");
  EXPECT_EQ(outcome.seen, "a\r\n");
}

TEST_F(MailboxListingTest, CheckPastItsDeadlineEndsEarlyAndRecordsNothingItDidNotReport) {
  // A long listing, a line every two milliseconds: the check ends at its
  // deadline (one second here, on a clock that moves 10 ms at each look, so
  // after about a hundred lines), before the count of new mail is known.
  constexpr std::size_t kLines = 3000;
  Pop3Script script = LoggedIn(std::to_string(kLines));
  script.Expect("UIDL").Send("+OK");
  script.SendGenerated(
      kLines, [](std::size_t i) { return std::to_string(i + 1) + " id" + std::to_string(i); }, 2);
  script.Send(".").Close();
  ScriptedPop3Server server(std::move(script));
  settings_.Preset(kProgramKey, "CheckDeadline", "1");
  TestAccount account;
  account.port = server.PortText();
  account.authMethod = "NONE";
  account.uidlFileName = kSeenFile;
  AddAccount(account);
  Start();
  std::uint32_t now = 0;
  window_->Pop3().SetTickSource([&now] { return now += 10; });
  Tick();
  EXPECT_EQ(ReadWholeFile(kSeenFile), "");
  EXPECT_THAT(LogOf("Home"),
              ElementsAre("Trying to connect to 127.0.0.1", "Connected to 127.0.0.1",
                          "Logging in with regular cleartext user/pass...", "Logged in!",
                          "the check ended early: the check took longer than the 1 s it may",
                          "Logged out from 127.0.0.1..."));
  EXPECT_EQ(window_->Checker().LastReport().outcome, CheckOutcome::EndedEarly);
}

}  // namespace
}  // namespace test
}  // namespace corvel
