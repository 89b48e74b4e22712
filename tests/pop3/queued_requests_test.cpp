// Requests queued behind each other (pipelining): the commands go out ahead
// of the answers within the send window, each answer belongs to its own
// request in order, and a close in the middle ends every queued request as
// failed. CAPA and the capabilities it lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "pop3_test_fixture.h"

namespace corvel {
namespace {

using QueuedRequests = Pop3ClientTest;
using Capabilities = Pop3ClientTest;

void TopAnswer(Pop3Script& script, const std::string& from) {
  script.Send("+OK").Send("From: " + from).Send("").Send("body").Send(".");
}

struct Answer {
  bool succeeded;
  std::string from;
  bool operator==(const Answer&) const = default;
};

class Pipeline {
 public:
  explicit Pipeline(SyncPop3Client& client) : client_(client) {}
  // TOP n 1 for each number, UIDL n for the negative ones.
  bool Run(const std::vector<int>& numbers) {
    return client_.PipelineSync(
        numbers.size(),
        [&](std::size_t i) {
          client_.SetMsgNum(std::abs(numbers[i]));
          client_.SetMsgLines(1);
          numbers[i] < 0 ? client_.Uidl() : client_.Top();
        },
        [&](std::size_t, bool succeeded) {
          answers.push_back({succeeded, client_.HeaderFrom()});
        });
  }
  std::vector<Answer> answers;

 private:
  SyncPop3Client& client_;
};

TEST_F(QueuedRequests, CommandsGoOutTogetherAndAnswersAreMatchedInOrder) {
  Pop3Script script = LoggedInScript();
  // The server reads all three commands before it answers any.
  script.Expect("TOP 1 1").Expect("UIDL 2").Expect("TOP 3 1");
  TopAnswer(script, "Ann");
  script.Send("-ERR no such message");
  TopAnswer(script, "Cy");
  script.Expect("NOOP").Send("+OK").Expect("QUIT").Send("+OK").Close();
  ScriptedPop3Server server(std::move(script));
  Use(server);
  LogIn();
  const std::size_t before = done_.size();
  Pipeline pipeline(client_);
  EXPECT_FALSE(pipeline.Run({1, -2, 3}));
  EXPECT_EQ(pipeline.answers, (std::vector<Answer>{{true, "Ann"}, {false, ""}, {true, "Cy"}}));
  ASSERT_TRUE(WaitDone(before + 3));
  EXPECT_EQ(done_[before].rqType, Pop3Request::pop3Top);
  EXPECT_EQ(done_[before + 1].rqType, Pop3Request::pop3Uidl);
  EXPECT_EQ(done_[before + 1].error, kPop3NegativeReply);
  EXPECT_EQ(done_[before + 2].error, 0);
  // Afterwards one request at a time again.
  client_.Noop();
  EXPECT_THROW(client_.Stat(), Pop3Exception);
  ASSERT_TRUE(client_.WaitForRequest());
  EXPECT_TRUE(client_.QuitSync());
  ASSERT_TRUE(Pump([&] { return server.SessionsFinished() == 1; }));
  ExpectNoFailures(server);
  EXPECT_EQ(server.Transcript(),
            std::string(kLoginTranscript) + "TOP 1 1\r\nUIDL 2\r\nTOP 3 1\r\nNOOP\r\nQUIT\r\n");
}

TEST_F(QueuedRequests, CloseInTheMiddleEndsEveryQueuedRequestAsFailed) {
  Pop3Script script = LoggedInScript();
  script.Expect("TOP 1 1").Expect("TOP 2 1").Expect("TOP 3 1");
  TopAnswer(script, "Ann");
  script.Send("+OK").Send("From: Bob").Close();
  ScriptedPop3Server server(std::move(script));
  Use(server);
  LogIn();
  const std::size_t before = done_.size();
  Pipeline pipeline(client_);
  EXPECT_FALSE(pipeline.Run({1, 2, 3}));
  EXPECT_EQ(pipeline.answers, (std::vector<Answer>{{true, "Ann"}, {false, "Bob"}, {false, ""}}));
  EXPECT_EQ(client_.State(), Pop3EngineState::pop3Idle);
  EXPECT_FALSE(client_.Connected());
  ASSERT_TRUE(WaitDone(before + 3));
  EXPECT_EQ(done_[before + 1].error, kPop3ConnectionClosed);
  EXPECT_EQ(done_[before + 2].error, kPop3ConnectionClosed);
}

TEST_F(QueuedRequests, CommandsBeyondTheSendWindowWaitForAnswers) {
  constexpr int kCount = 20;
  Pop3Script script = LoggedInScript();
  for (int i = 0; i < kCount; ++i) script.Expect("NOOP").Send("+OK");
  ScriptedPop3Server server(std::move(script));
  Use(server);
  LogIn();
  client_.SetSendWindowLimit(60);  // ten "NOOP" lines with their CR LF
  std::size_t sentAtFirst = 0;
  int succeeded = 0;
  EXPECT_TRUE(client_.PipelineSync(
      kCount,
      [&](std::size_t i) {
        client_.Noop();
        if (i + 1 == kCount)
          sentAtFirst = static_cast<std::size_t>(
              std::count(display_.begin(), display_.end(), std::string("> NOOP")));
      },
      [&](std::size_t, bool ok) { succeeded += ok ? 1 : 0; }));
  EXPECT_EQ(sentAtFirst, 10u);
  EXPECT_EQ(succeeded, kCount);
  ExpectNoFailures(server);
}

TEST_F(Capabilities, OnlyACompleteAnswerListingTheWordCounts) {
  struct Case {
    std::vector<std::string> answer;  // the connection closes after it when it has no "."
    bool answered;
    bool pipelining;
  };
  const Case cases[] = {
      {{"+OK", "TOP", "pipelining", "SASL PLAIN", "."}, true, true},
      {{"+OK", "TOP", "PIPELINING-NOT", "."}, true, false},
      {{"-ERR unknown command"}, false, false},
      {{"+OK", "PIPELINING"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer.back());
    Pop3Script script = LoggedInScript();
    script.Expect("CAPA");
    for (const std::string& line : c.answer) script.Send(line);
    if (c.answer.back() == "+OK" || c.answer.back() == "PIPELINING") {
      script.Close();
    } else {
      script.Expect("QUIT").Send("+OK").Close();
    }
    ScriptedPop3Server server(std::move(script));
    Use(server);
    LogIn();
    EXPECT_EQ(client_.CapaSync(), c.answered);
    EXPECT_TRUE(client_.CapaAsked());
    EXPECT_EQ(client_.HasCapability("PIPELINING"), c.pipelining);
    client_.QuitSync();
    ExpectNoFailures(server);
  }
}

}  // namespace
}  // namespace corvel
