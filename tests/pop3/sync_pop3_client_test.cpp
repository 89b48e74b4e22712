// The blocking client: time-outs measured between lines, the tick count's
// wrap, the loop's termination, connection failures with their texts, and the
// header capture as a caller sees it after TopSync.
#include "pop3/sync_pop3_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "pop3_test_fixture.h"

namespace corvel {
namespace {

using ES = Pop3EngineState;
using PS = Pop3ProtocolState;

using SyncPop3Timeout = Pop3ClientTest;
using SyncPop3Connect = Pop3ClientTest;
using SyncPop3Terminate = Pop3ClientTest;
using SyncPop3HeaderCapture = Pop3ClientTest;
using SyncPop3Limits = Pop3ClientTest;
using SyncPop3Exceptions = Pop3ClientTest;

// A clock the test moves: a loop timer advances it by `step` ms every few
// real milliseconds, so fake seconds pass quickly and near the wrap.
// Advances `step` fake milliseconds for every 2 real ones, however coarse the
// system's timers are (Windows' tick every 10 to 16 ms).
class FakeClock {
 public:
  FakeClock(EventLoop& loop, std::uint32_t start, std::uint32_t step)
      : loop_(loop),
        now_(start),
        timer_(loop.StartTimer(2, [this, start, step, begun = std::chrono::steady_clock::now()] {
          const auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now() - begun);
          now_ = start + static_cast<std::uint32_t>(real.count() / 2) * step;
        })) {}
  ~FakeClock() { loop_.StopTimer(timer_); }
  std::uint32_t Now() const { return now_; }
  SyncPop3Client::TickSource Source() {
    return [this] { return now_; };
  }

 private:
  EventLoop& loop_;
  std::uint32_t now_;
  EventLoop::TimerId timer_;
};

TEST_F(SyncPop3Timeout, SilentServerGives426AndDropsTheConnection) {
  ScriptedPop3Server server(LoggedInScript().Expect("STAT").StaySilent());
  Use(server);
  LogIn();
  client_.SetTimeout(1);
  EXPECT_FALSE(client_.StatSync());
  EXPECT_EQ(client_.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(client_.StatusCode(), 426);
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.ProtocolState(), PS::pop3Disconnected);
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(SyncPop3Timeout, LateGreetingFailsConnectSync) {
  ScriptedPop3Server server(Pop3Script().Wait(2500).Send("+OK too late"));
  Use(server);
  client_.SetTimeout(1);
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.ErrorMessage(), "426 Timeout");
  EXPECT_FALSE(client_.Connected());
}

TEST_F(SyncPop3Timeout, SteadyStreamLongerThanTheTimeoutNeverTimesOut) {
  // Eight lines 300 ms apart: 2.4 s in all against a Timeout of 1 s.
  ScriptedPop3Server server(
      LoggedInScript()
          .Expect("RETR 1")
          .Send("+OK")
          .SendGenerated(
              8, [](std::size_t i) { return "line " + std::to_string(i); }, 300)
          .Send("."));
  Use(server);
  LogIn();
  client_.SetTimeout(1);
  int lines = 0;
  client_.OnMessageLine = [&] { ++lines; };
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.RetrSync()) << client_.ErrorMessage();
  EXPECT_EQ(lines, 8);
}

// The deadline is compared as an unsigned difference: a request started a
// few seconds before the 32-bit tick count wraps is not cut short at the
// wrap, and still times out once Timeout seconds have passed without a line.
TEST_F(SyncPop3Timeout, TickWrapNeitherShortensNorStopsTheTimeout) {
  ScriptedPop3Server server(LoggedInScript().Expect("NOOP").StaySilent());
  Use(server);
  LogIn();
  FakeClock clock(loop_, 0xFFFFFFFFu - 2000u, 50);
  client_.SetTickSource(clock.Source());
  client_.SetTimeout(5);
  const std::uint32_t start = clock.Now();
  EXPECT_FALSE(client_.NoopSync());
  const std::uint32_t elapsed = clock.Now() - start;
  EXPECT_EQ(client_.ErrorMessage(), "426 Timeout");
  EXPECT_GE(elapsed, 5000u);
  EXPECT_LT(elapsed, 5000u + 2000u);
}

TEST_F(SyncPop3Timeout, LinesRestartTheTimeAcrossTheWrap) {
  // The clock moves 2.5 s with every line, well under a Timeout of 20,
  // while the 16 lines take 40 s, twice the Timeout; the lines come 100 ms
  // apart, so the wait looks at the clock between any two of them.
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("RETR 1")
                                .Send("+OK")
                                .SendGenerated(
                                    16, [](std::size_t i) { return "l" + std::to_string(i); }, 100)
                                .Send("."));
  Use(server);
  LogIn();
  const std::uint32_t start = 0xFFFFFFFFu - 7000u;
  std::uint32_t now = start;
  client_.SetTickSource([&] { return now; });
  client_.OnMessageLine = [&] { now += 2500; };
  client_.SetTimeout(20);
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.RetrSync()) << client_.ErrorMessage();
  EXPECT_GT(now - start, 20000u);  // longer than the Timeout in all
  EXPECT_LT(now, start);           // and across the wrap
}

TEST_F(SyncPop3Timeout, ZeroTimeoutWaitsForTheRequest) {
  ScriptedPop3Server server(LoggedInScript().Expect("NOOP").Wait(1500).Send("+OK"));
  Use(server);
  LogIn();
  // Hours of fake time pass, which no limit must notice.
  FakeClock clock(loop_, 0, 3600 * 1000);
  client_.SetTickSource(clock.Source());
  client_.SetTimeout(0);
  EXPECT_TRUE(client_.NoopSync());
}

TEST_F(SyncPop3Terminate, LoopTerminationEndsTheCallWith426) {
  ScriptedPop3Server server(LoggedInScript().Expect("NOOP").StaySilent());
  Use(server);
  LogIn();
  client_.SetTimeout(0);
  loop_.Post([this] { loop_.Terminate(); });
  EXPECT_FALSE(client_.NoopSync());
  EXPECT_EQ(client_.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(client_.StatusCode(), 426);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(SyncPop3Connect, RefusedConnectionGivesWinsockText) {
  client_.SetHost("127.0.0.1");
  client_.SetPort(std::to_string(test::ClosedLoopbackPort()));
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Connection refused (Winsock error #10061)");
  EXPECT_EQ(client_.RequestResult(), 10061);
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(SyncPop3Connect, UnknownHostGivesWinsockText) {
  client_.SetHost("no-such-host.invalid");
  client_.SetPort("110");
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Host not found (Winsock error #11001)");
  EXPECT_EQ(client_.RequestResult(), 11001);
}

TEST_F(SyncPop3Connect, SocketConnectFailureGivesClassNameAndText) {
  client_.SetHost("127.0.0.1");
  client_.SetPort("no-such-pop3-service");
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_EQ(client_.ErrorMessage().rfind(
                "-ERR SocketException: connect: ResolvePort: Cannot convert port "
                "'no-such-pop3-service', Error #",
                0),
            0u)
      << client_.ErrorMessage();
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  // The socket is left closed: the next connection can be made.
  test::ScriptedPop3Server server(Pop3Script().Send("+OK"));
  Use(server);
  EXPECT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
}

TEST_F(SyncPop3Connect, EmptyHostFails) {
  client_.SetHost("");
  EXPECT_FALSE(client_.ConnectSync());
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(SyncPop3Connect, NotReadyCallLeavesErrorMessage) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("STAT").Send("-ERR first").Expect("NOOP").Send("+OK"));
  Use(server);
  LogIn();
  EXPECT_FALSE(client_.StatSync());
  client_.Noop();
  EXPECT_FALSE(client_.NoopSync());  // not ready: the first NOOP still runs
  EXPECT_EQ(client_.ErrorMessage(), "-ERR first");
  EXPECT_TRUE(client_.WaitForRequest());
}

TEST_F(SyncPop3HeaderCapture, TopSyncCapturesFromFoldedSubjectAndDate) {
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("TOP 1 1")
                                .Send("+OK")
                                .Send("From: Ann")
                                .Send("Subject: Hello")
                                .Send(" World")
                                .Send("Date: x")
                                .Send("")
                                .Send("first body line")
                                .Send("."));
  Use(server);
  LogIn();
  std::vector<std::string> events;
  client_.OnMessageLine = [&] { events.push_back("line:" + client_.LastResponse()); };
  client_.OnHeaderEnd = [&] { events.push_back("header end"); };
  client_.SetMsgNum(1);
  client_.SetMsgLines(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(client_.HeaderFrom(), "Ann");
  EXPECT_EQ(client_.HeaderSubject(), "Hello World");
  EXPECT_EQ(client_.HeaderDate(), "x");
  EXPECT_FALSE(client_.InHeader());
  EXPECT_EQ(events, (std::vector<std::string>{"line:From: Ann", "line:Subject: Hello",
                                              "line: World", "line:Date: x", "header end",
                                              "line:", "line:first body line"}));
}

TEST_F(SyncPop3HeaderCapture, ServerEndingLinesWithLfAloneKeepsItsBlankLines) {
  // The whole answer in one piece, each line ended by LF alone: the blank
  // line between header and body ends the header part, and the "." after a
  // blank last body line ends the answer.
  ScriptedPop3Server server(
      LoggedInScript().Expect("TOP 1 1").SendRaw("+OK\nFrom: Ann\nSubject: Hi\n\nbody\n\n.\n"));
  Use(server);
  LogIn();
  std::vector<std::string> lines;
  client_.OnMessageLine = [&] { lines.push_back(client_.LastResponse()); };
  client_.SetMsgNum(1);
  client_.SetMsgLines(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(client_.HeaderFrom(), "Ann");
  EXPECT_EQ(client_.HeaderSubject(), "Hi");
  EXPECT_FALSE(client_.InHeader());
  EXPECT_EQ(lines, (std::vector<std::string>{"From: Ann", "Subject: Hi", "", "body", ""}));
}

TEST_F(SyncPop3HeaderCapture, LongHeaderLineCutBetweenCrAndLfDoesNotEndTheHeader) {
  // The 4093-byte cut falls between the CR and the LF of the first line.
  ScriptedPop3Server server(LoggedInScript().Expect("TOP 1 0").SendRaw(
      "+OK\r\nReceived: " + std::string(4082, 'r') + "\r\nSubject: kept\r\n\r\n.\r\n"));
  Use(server);
  LogIn();
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(client_.HeaderSubject(), "kept");
  EXPECT_FALSE(client_.InHeader());
}

TEST_F(SyncPop3HeaderCapture, BodyLinesAfterTheBlankLineAreNotExamined) {
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("RETR 2")
                                .Send("+OK")
                                .Send("To: one")
                                .Send("To: two")
                                .Send("Received: from somewhere")
                                .Send("")
                                .Send("Subject: in the body")
                                .Send("."));
  Use(server);
  LogIn();
  client_.SetMsgNum(2);
  ASSERT_TRUE(client_.RetrSync());
  EXPECT_EQ(client_.HeaderTo(), "two");
  EXPECT_EQ(client_.HeaderSubject(), "");
  EXPECT_EQ(client_.HeaderKeyword(), "received");
}

TEST_F(SyncPop3HeaderCapture, StatSyncEmptiesTheHeaderFields) {
  ScriptedPop3Server server(LoggedInScript()
                                .Expect("TOP 1 0")
                                .Send("+OK")
                                .Send("From: Ann")
                                .Send("Subject: s")
                                .Send("")
                                .Send(".")
                                .Expect("STAT")
                                .Send("+OK 1 10"));
  Use(server);
  LogIn();
  client_.SetMsgNum(1);
  client_.SetMsgLines(0);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(client_.HeaderFrom(), "Ann");
  ASSERT_TRUE(client_.StatSync());
  EXPECT_EQ(client_.HeaderFrom(), "");
  EXPECT_EQ(client_.HeaderSubject(), "");
  EXPECT_EQ(client_.HeaderKeyword(), "");
  EXPECT_EQ(client_.HeaderData(), "");
  EXPECT_TRUE(client_.InHeader());
}

TEST_F(SyncPop3HeaderCapture, TopWithoutBlankLineNeverEndsTheHeader) {
  ScriptedPop3Server server(
      LoggedInScript().Expect("TOP 1 0").Send("+OK").Send("Subject: only").Send("."));
  Use(server);
  LogIn();
  bool headerEnd = false;
  client_.OnHeaderEnd = [&] { headerEnd = true; };
  client_.SetMsgNum(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_FALSE(headerEnd);
  EXPECT_TRUE(client_.InHeader());
  EXPECT_EQ(client_.HeaderSubject(), "only");
}

// A server that sends more than an answer can hold fails the request; the
// rest of the answer is not waited for.
TEST_F(SyncPop3Limits, TopAnswerBeyondOneMebibyteFails) {
  ScriptedPop3Server server(
      LoggedInScript()
          .Expect("TOP 1 0")
          .Send("+OK")
          .SendGenerated(1100, [](std::size_t) { return std::string(998, 'h'); })
          .Send("."));
  Use(server);
  LogIn();
  client_.SetMsgNum(1);
  EXPECT_FALSE(client_.TopSync());
  EXPECT_EQ(client_.ErrorMessage(), "-ERR TOP answer longer than 1048576 bytes");
  EXPECT_EQ(client_.RequestResult(), 500);
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.State(), ES::pop3Idle);
}

TEST_F(SyncPop3Limits, ListingLineLongerThanAResponseMayBeFails) {
  struct Case {
    const char* what;
    std::int32_t msgNum;
    Pop3Script script;
    bool succeeds;
    const char* error;
  };
  const std::string longest(508, 'u');  // "1 " + 508: the longest line taken
  Case cases[] = {
      {"UIDL", 0, LoggedInScript().Expect("UIDL").Send("+OK").Send("1 " + longest + "u").Send("."),
       false, "-ERR UIDL answer line longer than 510 bytes"},
      {"UIDL 1", 1, LoggedInScript().Expect("UIDL 1").Send("+OK 1 " + longest), false,
       "-ERR UIDL answer line longer than 510 bytes"},
      {"LIST", 0,
       LoggedInScript().Expect("LIST").Send("+OK").Send("1 " + std::string(600, '9')).Send("."),
       false, "-ERR LIST answer line longer than 510 bytes"},
      {"UIDL at the limit", 0,
       LoggedInScript().Expect("UIDL").Send("+OK").Send("1 " + longest).Send("."), true, ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedPop3Server server(std::move(c.script));
    Use(server);
    LogIn();
    client_.SetMsgNum(c.msgNum);
    const bool list = c.what[0] == 'L';
    EXPECT_EQ(list ? client_.ListSync() : client_.UidlSync(), c.succeeds);
    EXPECT_EQ(client_.ErrorMessage(), c.error);
    EXPECT_EQ(client_.Connected(), c.succeeds);
    client_.QuitSync();
  }
}

// Whatever a handler run inside the wait raises, the call ends its request
// and the client accepts the next one.
TEST_F(SyncPop3Exceptions, HandlerRaisingDuringTheWaitLeavesTheClientIdle) {
  ScriptedPop3Server server(Pop3Script().Send("+OK").Expect("USER tim").StaySilent());
  Use(server);
  ASSERT_TRUE(client_.ConnectSync());
  EventLoop::TimerId timer = 0;
  timer = loop_.StartTimer(1, [&] {
    loop_.StopTimer(timer);
    throw std::runtime_error("boom");
  });
  client_.SetTimeout(60);
  EXPECT_FALSE(client_.UserSync());
  EXPECT_EQ(client_.State(), ES::pop3Idle);
  EXPECT_EQ(client_.ErrorMessage(), "-ERR Exception: boom");
  EXPECT_FALSE(client_.Connected());
  const std::size_t before = done_.size();
  client_.QuitSync();
  ASSERT_TRUE(WaitDone(before + 1));
  EXPECT_EQ(done_.back().rqType, Pop3Request::pop3Quit);
}

}  // namespace
}  // namespace corvel
