// The event-driven engine against a scripted server: greetings, replies,
// multi-line answers, refusals, QUIT, closes, sequences, aborts and the
// engine states, each with the exact bytes the client sent.
#include "pop3/pop3_client.h"

#include <gtest/gtest.h>
#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pop3_test_fixture.h"

namespace corvel {
namespace {

using ES = Pop3EngineState;
using PS = Pop3ProtocolState;
using RQ = Pop3Request;

using Pop3Greeting = Pop3ClientTest;
using Pop3EngineStates = Pop3ClientTest;
using Pop3Commands = Pop3ClientTest;
using Pop3MultiLine = Pop3ClientTest;
using Pop3Refusals = Pop3ClientTest;
using Pop3ErrorMessage = Pop3ClientTest;
using Pop3Quit = Pop3ClientTest;
using Pop3Close = Pop3ClientTest;
using Pop3Sequence = Pop3ClientTest;
using Pop3Abort = Pop3ClientTest;
using Pop3Framing = Pop3ClientTest;
using Pop3Robustness = Pop3ClientTest;

TEST_F(Pop3Greeting, CapturesTimestampBetweenAngleBrackets) {
  ScriptedPop3Server server(Pop3Script().Send("+OK POP3 ready <4711.123>"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_TRUE(client_.HasTimestamp());
  EXPECT_EQ(client_.Timestamp(), "<4711.123>");
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingUser);
  EXPECT_TRUE(client_.Connected());
  EXPECT_EQ(display_, std::vector<std::string>{"< +OK POP3 ready <4711.123>"});
  EXPECT_EQ(server.Transcript(), "");
}

TEST_F(Pop3Greeting, WithoutBracketPairLeavesTimestampEmpty) {
  for (const char* greeting : {"+OK no brackets", "+OK open <only", "+OK close> <"}) {
    ScriptedPop3Server server(Pop3Script().Send(greeting).Expect("QUIT").Send("+OK").Close());
    Use(server);
    ASSERT_TRUE(client_.ConnectSync()) << greeting;
    EXPECT_FALSE(client_.HasTimestamp()) << greeting;
    client_.QuitSync();
  }
}

TEST_F(Pop3Greeting, NewConnectionForgetsOldTimestamp) {
  ScriptedPop3Server server({Pop3Script().Send("+OK <1.2@x>").Expect("QUIT").Send("+OK").Close(),
                             Pop3Script().Send("+OK plain")});
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_TRUE(client_.HasTimestamp());
  ASSERT_TRUE(client_.QuitSync());
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.HasTimestamp());
}

TEST_F(Pop3Greeting, NegativeGreetingClosesWithError10004) {
  ScriptedPop3Server server(Pop3Script().Send("-ERR busy").StaySilent());
  Use(server);
  client_.Connect();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Connect);
  EXPECT_EQ(done_[0].error, 10004);
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR busy");
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(Pop3Greeting, NegativeGreetingFailsConnectSync) {
  ScriptedPop3Server server(Pop3Script().Send("-ERR busy"));
  Use(server);
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR busy");
}

// A server that accepts and closes without a greeting has not been
// connected to: ConnectSync fails instead of reporting success.
TEST_F(Pop3Greeting, CloseBeforeGreetingFailsConnect) {
  ScriptedPop3Server server(Pop3Script().Close());
  Use(server);
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.RequestResult(), 10004);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Interrupted system call (Winsock error #10004)");
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].error, 10004);
}

TEST_F(Pop3Greeting, ReportsSessionConnectedBeforeRequestDone) {
  ScriptedPop3Server server(Pop3Script().Send("+OK hi"));
  Use(server);
  std::vector<std::string> events;
  client_.OnSessionConnected = [&](std::uint16_t err) {
    events.push_back("connected " + std::to_string(err));
  };
  client_.OnRequestDone = [&](RQ, std::uint16_t err) {
    events.push_back("done " + std::to_string(err));
  };
  client_.Connect();
  ASSERT_TRUE(Pump([&] { return events.size() >= 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"connected 0", "done 0"}));
}

TEST_F(Pop3Greeting, RequestDoneIsDeferredPastTheState) {
  ScriptedPop3Server server(Pop3Script().Send("+OK hi"));
  Use(server);
  ES stateAtDone = ES::pop3Aborting;
  client_.OnRequestDone = [&](RQ, std::uint16_t) {
    stateAtDone = client_.State();
    done_.push_back({RQ::pop3Connect, 0});
  };
  client_.Connect();
  EXPECT_TRUE(done_.empty());  // never inside the operation
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(stateAtDone, ES::pop3Idle);
}

TEST_F(Pop3EngineStates, ConnectAndCommandMoveThroughTheStates) {
  ScriptedPop3Server server(LoggedInScript().Expect("NOOP").Send("+OK"));
  Use(server);
  std::vector<ES> states;
  client_.OnStateChange = [&] { states.push_back(client_.State()); };
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_EQ(states, (std::vector<ES>{ES::pop3Resolving, ES::pop3Connecting, ES::pop3WaitingGreeting,
                                     ES::pop3Connected, ES::pop3Idle}));
  ASSERT_TRUE(client_.UserSync());
  ASSERT_TRUE(client_.PassSync());
  states.clear();
  ASSERT_TRUE(client_.NoopSync());
  EXPECT_EQ(states, (std::vector<ES>{ES::pop3WaitingReply, ES::pop3Idle}));
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
}

TEST_F(Pop3EngineStates, ProtocolStateFollowsUserAndPass) {
  ScriptedPop3Server server(LoggedInScript());
  Use(server);
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingUser);
  ASSERT_TRUE(client_.UserSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3WaitingPass);
  ASSERT_TRUE(client_.PassSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
  EXPECT_EQ(display_, (std::vector<std::string>{"< +OK POP3 ready", "> USER tim", "< +OK",
                                                "> PASS secret", "< +OK logged in"}));
}

TEST_F(Pop3Commands, UserAndPassAreTrimmed) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK").Expect("USER tim").Send("+OK").Expect("PASS se cret").Send("+OK"));
  Use(server);
  client_.SetUserName(" \ttim \r");
  client_.SetPassWord("  se cret\x01");
  LogIn();
  EXPECT_EQ(server.Transcript(), "USER tim\r\nPASS se cret\r\n");
}

TEST_F(Pop3Commands, RPopSendsTrimmedPassword) {
  ScriptedPop3Server server(
      Pop3Script().Send("+OK").Expect("USER tim").Send("+OK").Expect("RPOP secret").Send("+OK"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.UserSync());
  client_.SetPassWord(" secret ");
  ASSERT_TRUE(client_.RPopSync());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
}

TEST_F(Pop3Commands, StatParsesCountAndSize) {
  ScriptedPop3Server server(LoggedInScript().Expect("STAT").Send("+OK 2 320"));
  Use(server);
  LogIn();
  ASSERT_TRUE(client_.StatSync());
  EXPECT_EQ(client_.MsgCount(), 2);
  EXPECT_EQ(client_.MsgSize(), 320);
  EXPECT_EQ(server.Transcript(), std::string(kLoginTranscript) + "STAT\r\n");
}

TEST_F(Pop3Commands, StatOnZeroAndBareOkGivesZeros) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("STAT").Send("+OK 0 0").Expect("STAT").Send("+OK"));
  Use(server);
  LogIn();
  client_.Stat();
  ASSERT_TRUE(WaitDone(4));
  EXPECT_EQ(done_.back().rqType, RQ::pop3Stat);
  EXPECT_EQ(done_.back().error, 0);
  EXPECT_EQ(client_.MsgCount(), 0);
  ASSERT_TRUE(client_.StatSync());
  EXPECT_EQ(client_.MsgCount(), 0);
  EXPECT_EQ(client_.MsgSize(), 0);
}

TEST_F(Pop3Commands, ListOfOneMessageSendsItsNumber) {
  ScriptedPop3Server server(LoggedInScript().Expect("LIST 3").Send("+OK 3 120"));
  Use(server);
  LogIn();
  client_.SetMsgNum(3);
  ASSERT_TRUE(client_.ListSync());
  EXPECT_EQ(client_.MsgNum(), 3);
  EXPECT_EQ(client_.MsgSize(), 120);
}

TEST_F(Pop3Commands, ListOfAllFiresEventsWithParsedLines) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("LIST").Send("+OK 2 messages").Send("1 100").Send("2 200").Send("."));
  Use(server);
  LogIn();
  std::vector<std::string> events;
  client_.OnListBegin = [&] { events.push_back("begin"); };
  client_.OnListLine = [&] {
    events.push_back(std::to_string(client_.MsgNum()) + "/" + std::to_string(client_.MsgSize()));
  };
  client_.OnListEnd = [&] { events.push_back("end"); };
  client_.OnRequestDone = [&](RQ rq, std::uint16_t err) {
    events.push_back("done " + std::to_string(static_cast<int>(rq)) + " " + std::to_string(err));
  };
  client_.SetMsgNum(0);
  client_.List();
  ASSERT_TRUE(Pump([&] { return !events.empty() && events.back().rfind("done", 0) == 0; }));
  EXPECT_EQ(events, (std::vector<std::string>{"begin", "1/100", "2/200", "end", "done 6 0"}));
  EXPECT_EQ(client_.LastResponse(), "");
  // Content lines are not shown; the status line is.
  EXPECT_EQ(display_.back(), "< +OK 2 messages");
}

TEST_F(Pop3Commands, UidlOfAllGivesEachId) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("UIDL").Send("+OK").Send("1 abc").Send("2 d:e f").Send("."));
  Use(server);
  LogIn();
  std::vector<std::string> ids;
  int begins = 0;
  int ends = 0;
  client_.OnUidlBegin = [&] { ++begins; };
  client_.OnUidlLine = [&] { ids.push_back(std::to_string(client_.MsgNum()) + client_.MsgUidl()); };
  client_.OnUidlEnd = [&] { ++ends; };
  ASSERT_TRUE(client_.UidlSync());
  EXPECT_EQ(ids, (std::vector<std::string>{"1abc", "2d:e f"}));
  EXPECT_EQ(begins, 1);
  EXPECT_EQ(ends, 1);
}

TEST_F(Pop3Commands, UidlOfOneMessageParsesNumberAndId) {
  ScriptedPop3Server server(LoggedInScript().Expect("UIDL 3").Send("+OK 3 XQ-91a"));
  Use(server);
  LogIn();
  client_.SetMsgNum(3);
  ASSERT_TRUE(client_.UidlSync());
  EXPECT_EQ(client_.MsgNum(), 3);
  EXPECT_EQ(client_.MsgUidl(), "XQ-91a");
}

TEST_F(Pop3Commands, RetrAndTopSendTheirArguments) {
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("RETR 0")
                                .Send("-ERR no such message")
                                .Expect("TOP 4 0")
                                .Send("+OK")
                                .Send("Subject: x")
                                .Send("."));
  Use(server);
  LogIn();
  client_.SetMsgNum(0);
  EXPECT_FALSE(client_.RetrSync());
  client_.SetMsgNum(4);
  client_.SetMsgLines(0);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(server.Transcript(), std::string(kLoginTranscript) + "RETR 0\r\nTOP 4 0\r\n");
}

TEST_F(Pop3Commands, NegativeNumbersAreSentWithMinusSign) {
  ScriptedPop3Server server(LoggedInScript().Expect("DELE -2").Send("-ERR no"));
  Use(server);
  LogIn();
  client_.SetMsgNum(-2);
  EXPECT_FALSE(client_.DeleSync());
}

TEST_F(Pop3Commands, TopWithNegativeMsgLinesRaisesAndSendsNothing) {
  ScriptedPop3Server server(LoggedInScript().Expect("NOOP").Send("+OK"));
  Use(server);
  LogIn();
  client_.SetMsgLines(-1);
  try {
    client_.Top();
    FAIL() << "Top accepted MsgLines -1";
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "Invalid MsgLines for TOP command");
  }
  EXPECT_EQ(client_.ErrorMessage(), "");
  ASSERT_TRUE(client_.NoopSync());
  EXPECT_EQ(server.Transcript(), std::string(kLoginTranscript) + "NOOP\r\n");
}

TEST_F(Pop3Commands, DeleNoopRsetSendTheirWords) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("DELE 7").Send("+OK").Expect("NOOP").Send("+OK").Expect("RSET").Send(
          "+OK"));
  Use(server);
  LogIn();
  client_.SetMsgNum(7);
  ASSERT_TRUE(client_.DeleSync());
  ASSERT_TRUE(client_.NoopSync());
  ASSERT_TRUE(client_.RSetSync());
  EXPECT_EQ(server.Transcript(), std::string(kLoginTranscript) + "DELE 7\r\nNOOP\r\nRSET\r\n");
  ExpectNoFailures(server);
}

TEST_F(Pop3Commands, LastWithOneNumberGivesMsgNum) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("LAST").Send("+OK 5").Expect("LAST").Send("+OK 6 77"));
  Use(server);
  LogIn();
  ASSERT_TRUE(client_.LastSync());
  EXPECT_EQ(client_.MsgNum(), 5);
  EXPECT_EQ(client_.MsgSize(), 0);
  ASSERT_TRUE(client_.LastSync());
  EXPECT_EQ(client_.MsgNum(), 6);
  EXPECT_EQ(client_.MsgSize(), 77);
}

TEST_F(Pop3MultiLine, RemovesOneOfTwoLeadingDotsOnly) {
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("RETR 1")
                                .Send("+OK")
                                .Send("..x")
                                .Send(".x")
                                .Send(". y")
                                .Send("..")
                                .Send("."));
  Use(server);
  LogIn();
  std::vector<std::string> lines;
  client_.OnMessageLine = [&] { lines.push_back(client_.LastResponse()); };
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.RetrSync());
  EXPECT_EQ(lines, (std::vector<std::string>{".x", ".x", ". y", "."}));
}

TEST_F(Pop3MultiLine, EveryLineGoesToOnResponse) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("RETR 1").Send("+OK").Send("a").Send("..b").Send("."));
  Use(server);
  LogIn();
  std::vector<std::string> responses;
  client_.OnResponse = [&](const std::string& line) { responses.push_back(line); };
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.RetrSync());
  EXPECT_EQ(responses, (std::vector<std::string>{"+OK", "a", "..b", "."}));
}

TEST_F(Pop3MultiLine, StreamsAHugeAnswerInConstantMemory) {
  constexpr std::size_t kLines = 200000;  // 10 MB
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("RETR 1")
                                .Send("+OK")
                                .SendGenerated(kLines,
                                               [](std::size_t i) {
                                                 return "line " + std::to_string(i) +
                                                        std::string(40, 'x');
                                               })
                                .Send("."));
  Use(server);
  LogIn();
  std::size_t lines = 0;
  std::size_t bytes = 0;
  client_.OnMessageLine = [&] {
    ++lines;
    bytes += client_.LastResponse().size();
  };
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.RetrSync()) << client_.ErrorMessage();
  EXPECT_EQ(lines, kLines);
  EXPECT_GT(bytes, 10u * 1000 * 1000);
}

TEST_F(Pop3Refusals, StatBeforeLoginRaisesItsTextAndSendsNothing) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").StaySilent());
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  try {
    client_.Stat();
    FAIL() << "STAT accepted before login";
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "-ERR STAT command invalid now");
  }
  EXPECT_EQ(client_.ErrorMessage(), "-ERR STAT command invalid now");
  EXPECT_EQ(display_.back(), "-ERR STAT command invalid now");
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  EXPECT_EQ(server.Transcript(), "");
}

TEST_F(Pop3Refusals, EachTransactionCommandNamesItself) {
  const std::vector<std::pair<void (CustomPop3Client::*)(), std::string>> commands = {
      {&CustomPop3Client::Stat, "STAT"}, {&CustomPop3Client::List, "LIST"},
      {&CustomPop3Client::Uidl, "UIDL"}, {&CustomPop3Client::Retr, "RETR"},
      {&CustomPop3Client::Top, "TOP"},   {&CustomPop3Client::Dele, "DELE"},
      {&CustomPop3Client::Noop, "NOOP"}, {&CustomPop3Client::Last, "LAST"},
      {&CustomPop3Client::RSet, "RSET"}};
  for (const auto& [operation, word] : commands) {
    EXPECT_THROW((client_.*operation)(), Pop3Exception) << word;
    EXPECT_EQ(client_.ErrorMessage(), "-ERR " + word + " command invalid now");
  }
}

TEST_F(Pop3Refusals, UserAndPassCheckTheProtocolState) {
  ScriptedPop3Server server(LoggedInScript());
  Use(server);
  LogIn();
  EXPECT_THROW(client_.User(), Pop3Exception);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR USER command invalid now");
  EXPECT_THROW(client_.Pass(), Pop3Exception);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR PASS command invalid now");
  EXPECT_THROW(client_.RPop(), Pop3Exception);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR RPOP command invalid now");
  EXPECT_EQ(server.Transcript(), kLoginTranscript);
}

TEST_F(Pop3Refusals, CommandWhileDisconnectedIsNotConnected) {
  try {
    client_.User();
    FAIL();
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "POP3 component not connected");
  }
  EXPECT_EQ(client_.ErrorMessage(), "");
  EXPECT_TRUE(display_.empty());
}

TEST_F(Pop3Refusals, OperationWhileAnotherRunsIsNotReady) {
  ScriptedPop3Server server(LoggedInScript().Expect("STAT").Send("+OK 1 1"));
  Use(server);
  LogIn();
  client_.Stat();
  for (auto operation : {&CustomPop3Client::Noop, &CustomPop3Client::Stat,
                         &CustomPop3Client::Connect, &CustomPop3Client::Quit}) {
    try {
      (client_.*operation)();
      ADD_FAILURE() << "started while STAT runs";
    } catch (const Pop3Exception& e) {
      EXPECT_STREQ(e.what(), "POP3 component not ready");
    }
  }
  ASSERT_TRUE(client_.WaitForRequest());
  EXPECT_EQ(client_.MsgCount(), 1);
  EXPECT_EQ(server.Transcript(), std::string(kLoginTranscript) + "STAT\r\n");
}

TEST_F(Pop3Refusals, ConnectAndOpenWhileConnectedUseTheirOwnTexts) {
  ScriptedPop3Server server(Pop3Script().Send("+OK"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  try {
    client_.Connect();
    FAIL();
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "POP3 component already connected");
  }
  try {
    client_.Open();
    FAIL();
  } catch (const Pop3Exception& e) {
    EXPECT_STREQ(e.what(), "pop3 component already connected");
  }
  EXPECT_FALSE(client_.ConnectSync());
}

TEST_F(Pop3ErrorMessage, KeepsTheFirstNegativeReply) {
  ScriptedPop3Server server(Pop3Script()
                                .Send("+OK")
                                .Expect("USER tim")
                                .Send("-ERR first")
                                .Expect("USER tim")
                                .Send("-ERR second"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.UserSync());
  EXPECT_FALSE(client_.UserSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR first");
  EXPECT_EQ(client_.LastResponse(), "-ERR second");
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.StatusCode(), 500);
}

TEST_F(Pop3ErrorMessage, RefusalReplacesAnEarlierError) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").Send("-ERR first"));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.UserSync());
  EXPECT_FALSE(client_.StatSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR STAT command invalid now");
}

TEST_F(Pop3ErrorMessage, ConnectEmptiesIt) {
  ScriptedPop3Server server({Pop3Script().Send("+OK").Expect("USER tim").Send("-ERR no").Close(),
                             Pop3Script().Send("+OK")});
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.UserSync());
  ASSERT_TRUE(Pump([&] { return !client_.Connected(); }));
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_EQ(client_.ErrorMessage(), "");
}

TEST_F(Pop3Quit, ConnectedQuitIsReportedWithTheConnectionClosed) {
  ScriptedPop3Server server(LoggedInScript().Expect("QUIT").Send("+OK bye").Wait(200).Close());
  Use(server);
  LogIn();
  bool connectedAtDone = true;
  client_.OnRequestDone = [&](RQ rq, std::uint16_t err) {
    connectedAtDone = client_.Connected();
    done_.push_back({rq, err});
  };
  const std::size_t before = done_.size();
  ASSERT_TRUE(client_.QuitSync());
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
  ASSERT_TRUE(WaitDone(before + 1));
  EXPECT_EQ(done_.back().rqType, RQ::pop3Quit);
  EXPECT_EQ(done_.back().error, 0);
  EXPECT_FALSE(connectedAtDone);
  EXPECT_EQ(server.Transcript(), std::string(kLoginTranscript) + "QUIT\r\n");
}

TEST_F(Pop3Quit, NegativeReplyStillReportsErrorZero) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("QUIT").Send("-ERR no").Close());
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  client_.Quit();
  ASSERT_TRUE(WaitDone(2));
  EXPECT_EQ(done_[1].rqType, RQ::pop3Quit);
  EXPECT_EQ(done_[1].error, 0);
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR no");
}

TEST_F(Pop3Quit, NotConnectedCompletesAtOnceWithErrorZero) {
  client_.Quit();
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Quit);
  EXPECT_EQ(done_[0].error, 0);
  EXPECT_TRUE(client_.QuitSync());
}

// QUIT is done at its reply or at the close, whichever comes first; the
// client closes its side itself. None of these may wait for the time-out.
TEST_F(Pop3Quit, EndsAtTheReplyOrTheCloseWhicheverComesFirst) {
  struct Case {
    const char* what;
    Pop3Script script;
    bool succeeds;
  };
  const Pop3Script loggedIn = LoggedInScript();
  Case cases[] = {
      {"reply and close together", Pop3Script(loggedIn).Expect("QUIT").SendAndClose("+OK bye"),
       true},
      {"close without a reply", Pop3Script(loggedIn).Expect("QUIT").Close(), true},
      {"reply, never a close", Pop3Script(loggedIn).Expect("QUIT").Send("+OK bye").StaySilent(),
       true},
      {"negative reply, never a close", Pop3Script(loggedIn).Expect("QUIT").Send("-ERR no"), false},
      // A failed login the server hangs up on while our QUIT is on its way.
      {"close crossing QUIT after a failed login",
       Pop3Script().Send("+OK").Expect("USER tim").Send("-ERR who?").ReceiveLine().Close(), false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPop3Server server(std::move(c.script));
    Use(server);
    client_.SetTimeout(10);
    ASSERT_TRUE(client_.ConnectSync());
    if (!client_.UserSync() || !client_.PassSync()) {
      EXPECT_EQ(client_.ErrorMessage(), "-ERR who?");
    }
    const std::size_t before = done_.size();
    EXPECT_EQ(client_.QuitSync(), c.succeeds);
    EXPECT_NE(client_.ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(client_.Connected());
    EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
    ASSERT_TRUE(WaitDone(before + 1));
    EXPECT_EQ(done_.back().rqType, RQ::pop3Quit);
    EXPECT_EQ(done_.back().error, 0);
    ExpectNoFailures(server);
  }
}

// A QUIT cut short by the time-out must not leave the next QUIT to complete
// at its reply while the connection is still open.
TEST_F(Pop3Quit, AbortedQuitDoesNotShortenTheNextOne) {
  ScriptedPop3Server server(
      {Pop3Script().Send("+OK").Expect("QUIT").StaySilent(),
       Pop3Script().Send("+OK").Expect("QUIT").Send("+OK").Wait(300).Close()});
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  client_.SetTimeout(1);
  EXPECT_FALSE(client_.QuitSync());
  EXPECT_EQ(client_.ErrorMessage(), "426 Timeout");
  client_.SetTimeout(15);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(client_.QuitSync());
  EXPECT_FALSE(client_.Connected());
}

TEST_F(Pop3Close, ServerClosingMidRetrGives10004WithResultZero) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("RETR 1").Send("+OK").Send("Subject: half").Close());
  Use(server);
  LogIn();
  std::vector<std::uint16_t> closes;
  client_.OnSessionClosed = [&](std::uint16_t err) { closes.push_back(err); };
  client_.SetMsgNum(1);
  client_.Retr();
  ASSERT_TRUE(WaitDone(4));
  EXPECT_EQ(done_.back().rqType, RQ::pop3Retr);
  EXPECT_EQ(done_.back().error, 10004);
  EXPECT_EQ(client_.RequestResult(), 0);
  EXPECT_EQ(client_.ErrorMessage(), "");
  EXPECT_EQ(closes.size(), 1u);
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(Pop3Close, BlockingRetrCutByCloseFails) {
  ScriptedPop3Server server(LoggedInScript().Expect("RETR 1").Send("+OK").Send("x").Close());
  Use(server);
  LogIn();
  client_.SetMsgNum(1);
  // The answer never ended: a cut-off message is no success, although the
  // engine's RequestResult stays 0 and the report carries 10004.
  EXPECT_FALSE(client_.RetrSync());
  EXPECT_EQ(client_.RequestResult(), 0);
  EXPECT_EQ(client_.FinishedError(), 10004);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(Pop3Close, LoginDroppedWithoutAReplyFails) {
  ScriptedPop3Server server(Pop3Script().Send("+OK ready <1.2@host>").ReceiveLine().Close());
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_FALSE(client_.APopSync());
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
}

#ifdef __linux__
// Waits until the client's side has acknowledged the end of stream sent on
// `fd`, so the close is sure to be there before the client goes on.
bool WaitForFinAcknowledged(int fd) {
  for (int i = 0; i < 100000; ++i) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
    if (info.tcpi_state == TCP_FIN_WAIT2) return true;
    std::this_thread::yield();
  }
  return false;
}

TEST_F(Pop3Close, CloseRightBehindARefusalIsSeenWhenTheCallReturns) {
  // The server refuses APOP and hangs up; its close arrives while the
  // client is still handling the refusal.
  test::LoopbackListener listener;
  client_.SetHost("127.0.0.1");
  client_.SetPort(listener.PortText());
  client_.Connect();
  test::PeerSocket peer = listener.Accept();
  ASSERT_TRUE(peer.SendAll("+OK ready <1.2@host>\r\n"));
  ASSERT_TRUE(client_.WaitForRequest());
  client_.OnDisplay = [&](const std::string& msg) {
    if (msg.starts_with("> APOP")) peer.SendAll("-ERR no\r\n");
  };
  client_.OnResponse = [&](const std::string& line) {
    if (line != "-ERR no") return;
    peer.ShutdownWrite();
    EXPECT_TRUE(WaitForFinAcknowledged(peer.Fd()));
  };
  EXPECT_FALSE(client_.APopSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR no");
  // Read right after the call, as the login discovery does.
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
}
#endif  // __linux__: the test tells the close has arrived from the kernel's TCP state

TEST_F(Pop3Close, LineNobodyWaitsForIsOnlyShown) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Wait(50).Send("+OK unasked").StaySilent());
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(Pump([&] { return display_.size() >= 2; }));
  EXPECT_EQ(display_[1], "< +OK unasked");
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(Pop3Sequence, OpenRunsConnectUserPassAsOneRequest) {
  ScriptedPop3Server server(LoggedInScript());
  Use(server);
  client_.Open();
  ASSERT_TRUE(WaitDone());
  ASSERT_EQ(done_.size(), 1u);
  EXPECT_EQ(done_[0].rqType, RQ::pop3Open);
  EXPECT_EQ(done_[0].error, 0);
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Transaction);
  EXPECT_EQ(server.Transcript(), kLoginTranscript);
}

TEST_F(Pop3Sequence, OpenStopsAtRefusedUser) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").Send("-ERR who?"));
  Use(server);
  std::vector<ES> states;
  client_.OnStateChange = [&] { states.push_back(client_.State()); };
  EXPECT_FALSE(client_.OpenSync());
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Open);
  EXPECT_EQ(done_[0].error, 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR who?");
  EXPECT_EQ(server.Transcript(), "USER tim\r\n");
  EXPECT_EQ(states, (std::vector<ES>{ES::pop3Resolving, ES::pop3Connecting, ES::pop3WaitingGreeting,
                                     ES::pop3Connected, ES::pop3StepReady, ES::pop3WaitingReply,
                                     ES::pop3StepReady, ES::pop3Idle}));
}

// PASS cannot start once the server has closed during USER: the sequence
// must end with an error instead of staying in pop3StepReady for good.
TEST_F(Pop3Sequence, ServerClosingDuringUserEndsOpenWith10004) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").Close());
  Use(server);
  client_.Open();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Open);
  EXPECT_EQ(done_[0].error, 10004);
  EXPECT_EQ(client_.RequestResult(), 10004);
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Pop3Exception: POP3 component not connected");
}

TEST_F(Pop3Sequence, OpenSyncFailsWhenUserEndsWithClose) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").Close());
  Use(server);
  client_.SetTimeout(60);
  EXPECT_FALSE(client_.OpenSync());
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(Pop3Sequence, OpenWithRefusedConnectionReportsTheSocketCode) {
  client_.SetHost("127.0.0.1");
  client_.SetPort(std::to_string(test::ClosedLoopbackPort()));
  client_.Open();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Open);
  EXPECT_EQ(done_[0].error, 10061);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Connection refused (Winsock error #10061)");
}

TEST_F(Pop3Sequence, OpenThatCannotStartLeavesNoSequenceBehind) {
  client_.SetHost("");
  EXPECT_THROW(client_.Open(), Exception);
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  ScriptedPop3Server server(Pop3Script().Send("+OK"));
  Use(server);
  client_.Connect();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Connect);
  EXPECT_EQ(done_[0].error, 0);
}

TEST_F(Pop3Abort, DuringLookupReportsInterruptedCall) {
  client_.SetHost("corvel-abort-test.invalid");
  client_.SetPort("110");
  client_.Connect();
  EXPECT_EQ(client_.State(), ES::pop3Resolving);
  client_.Abort();
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Connect);
  EXPECT_EQ(done_[0].error, 10004);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Interrupted system call (Winsock error #10004)");
  EXPECT_EQ(client_.RequestResult(), 10004);
}

TEST_F(Pop3Abort, DuringConnectEndsTheRequest) {
  ScriptedPop3Server server(Pop3Script().Send("+OK"));
  Use(server);
  client_.Connect();
  ASSERT_EQ(client_.State(), ES::pop3Connecting);
  client_.Abort();
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].error, 10004);
}

TEST_F(Pop3Abort, DuringOpenReportsOperationAborted) {
  ScriptedPop3Server server(Pop3Script().Send("+OK"));
  Use(server);
  client_.Open();
  client_.Abort();
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(done_[0].rqType, RQ::pop3Open);
  EXPECT_EQ(done_[0].error, 426);
  EXPECT_EQ(client_.ErrorMessage(), "426 Operation aborted.");
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(Pop3Abort, WhenIdleDoesNothing) {
  std::vector<ES> states;
  client_.OnStateChange = [&] { states.push_back(client_.State()); };
  EXPECT_TRUE(client_.AbortSync());
  EXPECT_EQ(states, (std::vector<ES>{ES::pop3Aborting, ES::pop3Idle}));
  EXPECT_TRUE(done_.empty());
}

TEST(Pop3Lifetime, DestroyedClientNeverReceivesQueuedCompletion) {
  test::SystemEventLoop loop;
  bool reported = false;
  auto client = std::make_unique<Pop3Client>(loop);
  client->OnRequestDone = [&](RQ, std::uint16_t) { reported = true; };
  client->Quit();  // completes at once, report queued
  client.reset();
  loop.ProcessEvents(0);
  loop.ProcessEvents(0);
  EXPECT_FALSE(reported);
}

TEST(Pop3Lifetime, DestroyingAClientInTheMiddleOfARequestIsSafe) {
  test::SystemEventLoop loop;
  ScriptedPop3Server server(
      LoggedInScript().Expect("RETR 1").Send("+OK").Send("line").Wait(100).Send("more").Send("."));
  bool reported = false;
  {
    SyncPop3Client client(loop);
    client.SetHost(ScriptedPop3Server::Host());
    client.SetPort(server.PortText());
    client.SetUserName("tim");
    client.SetPassWord("secret");
    ASSERT_TRUE(client.OpenSync());
    client.OnRequestDone = [&](RQ, std::uint16_t) { reported = true; };
    client.OnMessageLine = [&] { reported = true; };
    client.SetMsgNum(1);
    client.Retr();
  }
  // Whatever the server still sends, and the completion of the Open still
  // queued, reach nobody.
  for (int i = 0; i < 20; ++i) loop.ProcessEvents(10);
  EXPECT_FALSE(reported);
}

TEST(Pop3Defaults, PropertiesStartWithTheirDefaults) {
  test::SystemEventLoop loop;
  SyncPop3Client client(loop);
  EXPECT_EQ(client.Port(), "pop3");
  EXPECT_EQ(client.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(client.Host(), "");
  EXPECT_EQ(client.AuthType(), Pop3AuthType::popAuthNone);
  EXPECT_EQ(client.State(), ES::pop3Idle);
  EXPECT_EQ(client.ProtocolState(), PS::pop3Disconnected);
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.Timeout(), 15);
  EXPECT_FALSE(client.MultiThreaded());
  EXPECT_EQ(client.MsgNum(), 0);
  EXPECT_EQ(client.Tag(), 0);
}

TEST(Pop3Enums, HaveTheirOrdinals) {
  EXPECT_EQ(static_cast<int>(RQ::pop3Connect), 0);
  EXPECT_EQ(static_cast<int>(RQ::pop3Quit), 4);
  EXPECT_EQ(static_cast<int>(RQ::pop3Uidl), 13);
  EXPECT_EQ(static_cast<int>(RQ::pop3APop), 14);
  EXPECT_EQ(static_cast<int>(RQ::pop3Open), 15);
  EXPECT_EQ(static_cast<int>(RQ::pop3Auth), 16);
  EXPECT_EQ(static_cast<int>(RQ::pop3Custom), 17);
  EXPECT_EQ(static_cast<int>(ES::pop3Aborting), 7);
  EXPECT_EQ(static_cast<int>(ES::pop3StepReady), 4);
  EXPECT_EQ(static_cast<int>(PS::pop3Transaction), 3);
  EXPECT_EQ(static_cast<int>(Pop3AuthType::popAuthCramSHA1), 3);
  EXPECT_EQ(Pop3Exception("x").ClassName(), "Pop3Exception");
}

TEST_F(Pop3Framing, LongLineArrivesIn4093BytePieces) {
  ScriptedPop3Server server(
      Pop3Script().SendRaw("+OK" + std::string(4997, 'x')).Wait(50).SendRaw("\r\n"));
  Use(server);
  std::vector<std::size_t> sizes;
  client_.OnResponse = [&](const std::string& line) { sizes.push_back(line.size()); };
  ASSERT_TRUE(client_.ConnectSync());
  ASSERT_TRUE(Pump([&] { return sizes.size() >= 2; }));
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4093, 907}));
}

TEST_F(Pop3Framing, LineWithZeroByteIsCutAtIt) {
  ScriptedPop3Server server(Pop3Script().SendRaw(std::string("+OK ready\0<1.2@x>\r\n", 19)));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EXPECT_EQ(client_.LastResponse(), "+OK ready");
  EXPECT_FALSE(client_.HasTimestamp());
}

TEST_F(Pop3Framing, AcceptsLfOnlyLineEnds) {
  ScriptedPop3Server server(Pop3Script()
                                .SendRaw("+OK <9@y>\n")
                                .Expect("USER tim")
                                .SendRaw("+OK\n")
                                .Expect("PASS secret")
                                .SendRaw("+OK\n")
                                .Expect("TOP 1 0")
                                .SendRaw("+OK\nSubject: lf\n\nbody\n.\n"));
  Use(server);
  LogIn();
  EXPECT_EQ(client_.Timestamp(), "<9@y>");
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(client_.HeaderSubject(), "lf");
}

TEST_F(Pop3Robustness, ThrowingLineHandlerEndsTheRequestWithAnError) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("RETR 1").Send("+OK").Send("a").Send("b").Send(".").StaySilent());
  Use(server);
  LogIn();
  client_.OnMessageLine = [] { throw std::runtime_error("boom"); };
  client_.SetMsgNum(1);
  client_.SetTimeout(60);
  EXPECT_FALSE(client_.RetrSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Exception: boom");
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  // The rest of the answer would be read as replies to the next command.
  EXPECT_FALSE(client_.Connected());
}

TEST_F(Pop3Robustness, RefusedCommandFromHandlerLeavesCaptureAlone) {
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("TOP 1 0")
                                .Send("+OK")
                                .Send("From: Ann")
                                .Send("Subject: kept")
                                .Send("")
                                .Send("."));
  Use(server);
  LogIn();
  bool refused = false;
  client_.OnMessageLine = [&] {
    try {
      client_.Stat();
    } catch (const Pop3Exception&) {
      refused = true;
    }
  };
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_TRUE(refused);
  EXPECT_EQ(client_.HeaderFrom(), "Ann");
  EXPECT_EQ(client_.HeaderSubject(), "kept");
}

TEST_F(Pop3Robustness, GarbageFromTheServerNeverBreaksTheClient) {
  // A fixed pseudo-random stream of bytes of every value, CR, LF and 0
  // included, as greeting and as answers.
  std::string garbage;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245u + 12345u;
    garbage.push_back(static_cast<char>((seed >> 16) & 0xFF));
  }
  ScriptedPop3Server server(Pop3Script().Send("+OK").ReceiveLine().SendRaw(garbage).StaySilent());
  Use(server);
  client_.SetTimeout(1);
  ASSERT_TRUE(client_.ConnectSync());
  (void)client_.UserSync();
  (void)client_.PassSync();
  client_.SetMsgNum(0);
  (void)client_.UidlSync();
  (void)client_.RetrSync();
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  client_.QuitSync();
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

}  // namespace
}  // namespace corvel
