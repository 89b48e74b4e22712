#include "net/posix/poll_event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/wait_for.h"

namespace corvel {
namespace {

using test::WaitFor;

// A connected pair of local stream sockets, closed at the end of the test.
struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  ~SocketPair() {
    CloseOne(0);
    CloseOne(1);
  }
  void CloseOne(int i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
  void Write(int i, const std::string& text) {
    ASSERT_EQ(::write(fds[i], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void Drain(int i) {
    char buffer[256];
    while (::recv(fds[i], buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }
};

TEST(PollEventLoop, RunsPostedTasksInOrder) {
  PollEventLoop loop;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) loop.Post([&order, i] { order.push_back(i); });
  EXPECT_TRUE(loop.ProcessEvents(0));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(PollEventLoop, KeepsTheOrderOfTasksPostedFromOtherThreads) {
  PollEventLoop loop;
  constexpr int kPerThread = 2000;
  std::vector<int> seen[2];
  std::atomic<int> ran{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < 2; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        loop.Post([&, t, i] {
          seen[t].push_back(i);
          ++ran;
        });
      }
    });
  }
  EXPECT_TRUE(WaitFor(loop, [&] { return ran.load() == 2 * kPerThread; }));
  for (auto& poster : posters) poster.join();
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen[t][i], i);
  }
}

TEST(PollEventLoop, APostFromAnotherThreadWakesAWaitingLoop) {
  PollEventLoop loop;
  bool ran = false;
  std::thread poster([&] { loop.Post([&] { ran = true; }); });
  const auto start = std::chrono::steady_clock::now();
  // Without the wake-up this would sleep the whole minute.
  bool didWork = loop.ProcessEvents(60000);
  const auto waited = std::chrono::steady_clock::now() - start;
  poster.join();
  if (!ran) didWork = loop.ProcessEvents(0) || didWork;
  EXPECT_TRUE(ran);
  EXPECT_TRUE(didWork);
  EXPECT_LT(waited, std::chrono::seconds(30));
}

TEST(PollEventLoop, NestedProcessEventsContinuesTheSameOrder) {
  PollEventLoop loop;
  std::vector<std::string> order;
  loop.Post([&] {
    order.push_back("a-begin");
    loop.ProcessEvents(0);
    order.push_back("a-end");
  });
  loop.Post([&] { order.push_back("b"); });
  loop.Post([&] { order.push_back("c"); });
  loop.ProcessEvents(0);
  EXPECT_EQ(order, (std::vector<std::string>{"a-begin", "b", "c", "a-end"}));
}

TEST(PollEventLoop, ATaskPostedByATaskRunsInALaterCall) {
  PollEventLoop loop;
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.Post(again);
  };
  loop.Post(again);
  EXPECT_TRUE(loop.ProcessEvents(0));
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(loop.ProcessEvents(0));
  EXPECT_EQ(runs, 2);
}

TEST(PollEventLoop, ATaskThatThrowsLeavesTheRestQueued) {
  PollEventLoop loop;
  bool secondRan = false;
  loop.Post([] { throw std::runtime_error("task failed"); });
  loop.Post([&] { secondRan = true; });
  EXPECT_THROW(loop.ProcessEvents(0), std::runtime_error);
  EXPECT_FALSE(secondRan);
  EXPECT_TRUE(loop.ProcessEvents(0));
  EXPECT_TRUE(secondRan);
}

TEST(PollEventLoop, WithNothingToDoReturnsFalseAfterWaiting) {
  PollEventLoop loop;
  EXPECT_FALSE(loop.ProcessEvents(200));
  EXPECT_FALSE(loop.ProcessEvents(0));
}

TEST(PollEventLoop, TimerFiresRepeatedlyUntilStopped) {
  PollEventLoop loop;
  int ticks = 0;
  EventLoop::TimerId id = loop.StartTimer(5, [&] { ++ticks; });
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(WaitFor(loop, [&] { return ticks >= 3; }));
  loop.StopTimer(id);
  int stoppedAt = ticks;
  for (int i = 0; i < 3; ++i) loop.ProcessEvents(20);
  EXPECT_EQ(ticks, stoppedAt);
}

TEST(PollEventLoop, TimerCanStopItselfFromItsHandler) {
  PollEventLoop loop;
  int ticks = 0;
  EventLoop::TimerId id = 0;
  id = loop.StartTimer(1, [&] {
    ++ticks;
    loop.StopTimer(id);
  });
  ASSERT_TRUE(WaitFor(loop, [&] { return ticks >= 1; }));
  for (int i = 0; i < 3; ++i) loop.ProcessEvents(10);
  EXPECT_EQ(ticks, 1);
}

TEST(PollEventLoop, StoppingAnUnknownTimerIsHarmless) {
  PollEventLoop loop;
  loop.StopTimer(12345);
  loop.StopTimer(0);
  EXPECT_FALSE(loop.ProcessEvents(0));
}

TEST(PollEventLoop, ATimerIsNotEnteredAgainWhileItsHandlerPumpsTheLoop) {
  PollEventLoop loop;
  int depth = 0;
  int deepest = 0;
  int ticks = 0;
  int otherTicks = 0;
  EventLoop::TimerId other = loop.StartTimer(1, [&] { ++otherTicks; });
  EventLoop::TimerId id = loop.StartTimer(1, [&] {
    ++ticks;
    ++depth;
    deepest = std::max(deepest, depth);
    // Pump for well over the interval, as a blocking call would.
    for (int i = 0; i < 5; ++i) loop.ProcessEvents(5);
    --depth;
  });
  ASSERT_TRUE(WaitFor(loop, [&] { return ticks >= 2; }));
  loop.StopTimer(id);
  loop.StopTimer(other);
  EXPECT_EQ(deepest, 1);
  // Other timers keep running meanwhile.
  EXPECT_GE(otherTicks, 1);
}

TEST(PollEventLoop, ReportsAReadableSocket) {
  PollEventLoop loop;
  SocketPair pair;
  unsigned seen = 0;
  int calls = 0;
  loop.WatchSocket(pair.fds[0], EventLoop::kIoReadable, [&](unsigned ready) {
    seen = ready;
    ++calls;
    pair.Drain(0);
  });
  EXPECT_FALSE(loop.ProcessEvents(0));
  pair.Write(1, "x");
  ASSERT_TRUE(WaitFor(loop, [&] { return calls == 1; }));
  EXPECT_NE(seen & EventLoop::kIoReadable, 0u);
  EXPECT_FALSE(loop.ProcessEvents(0));
  loop.UnwatchSocket(pair.fds[0]);
}

TEST(PollEventLoop, ReportsWritabilityOnlyWhileAskedFor) {
  PollEventLoop loop;
  SocketPair pair;
  int calls = 0;
  loop.WatchSocket(pair.fds[0], EventLoop::kIoWritable, [&](unsigned ready) {
    EXPECT_NE(ready & EventLoop::kIoWritable, 0u);
    ++calls;
  });
  EXPECT_TRUE(loop.ProcessEvents(0));
  EXPECT_EQ(calls, 1);
  loop.UpdateSocket(pair.fds[0], 0);
  EXPECT_FALSE(loop.ProcessEvents(0));
  EXPECT_EQ(calls, 1);
  loop.UnwatchSocket(pair.fds[0]);
}

TEST(PollEventLoop, ReportsTheHangUpOfThePeer) {
  PollEventLoop loop;
  SocketPair pair;
  unsigned seen = 0;
  loop.WatchSocket(pair.fds[0], 0, [&](unsigned ready) {
    seen = ready;
    loop.UnwatchSocket(pair.fds[0]);
  });
  pair.CloseOne(1);
  ASSERT_TRUE(WaitFor(loop, [&] { return seen != 0; }));
  EXPECT_NE(seen & EventLoop::kIoHangup, 0u);
}

TEST(PollEventLoop, ASocketHandlerCanUnwatchItself) {
  PollEventLoop loop;
  SocketPair pair;
  int calls = 0;
  loop.WatchSocket(pair.fds[0], EventLoop::kIoReadable, [&](unsigned) {
    ++calls;
    loop.UnwatchSocket(pair.fds[0]);  // and leaves the data unread
  });
  pair.Write(1, "x");
  ASSERT_TRUE(WaitFor(loop, [&] { return calls == 1; }));
  EXPECT_FALSE(loop.ProcessEvents(20));
  EXPECT_EQ(calls, 1);
}

TEST(PollEventLoop, ReadinessConsumedByAnEarlierHandlerIsNotReported) {
  PollEventLoop loop;
  SocketPair first;
  SocketPair second;
  int calls = 0;
  // Whichever runs first reads the other's data too.
  loop.WatchSocket(first.fds[0], EventLoop::kIoReadable, [&](unsigned) {
    ++calls;
    first.Drain(0);
    second.Drain(0);
  });
  loop.WatchSocket(second.fds[0], EventLoop::kIoReadable, [&](unsigned) {
    ++calls;
    first.Drain(0);
    second.Drain(0);
  });
  first.Write(1, "a");
  second.Write(1, "b");
  // Both are readable before the loop looks.
  ASSERT_TRUE(loop.ProcessEvents(1000));
  EXPECT_EQ(calls, 1);
  loop.UnwatchSocket(first.fds[0]);
  loop.UnwatchSocket(second.fds[0]);
}

TEST(PollEventLoop, AWatchRemovedByAnEarlierHandlerIsNotCalled) {
  PollEventLoop loop;
  SocketPair first;
  SocketPair second;
  int calls = 0;
  loop.WatchSocket(first.fds[0], EventLoop::kIoReadable, [&](unsigned) {
    ++calls;
    loop.UnwatchSocket(second.fds[0]);
  });
  loop.WatchSocket(second.fds[0], EventLoop::kIoReadable, [&](unsigned) {
    ++calls;
    loop.UnwatchSocket(first.fds[0]);
  });
  first.Write(1, "a");
  second.Write(1, "b");
  ASSERT_TRUE(loop.ProcessEvents(1000));
  EXPECT_EQ(calls, 1);
  loop.UnwatchSocket(first.fds[0]);
  loop.UnwatchSocket(second.fds[0]);
}

TEST(PollEventLoop, TerminateFromAnotherThreadEndsRun) {
  PollEventLoop loop;
  EXPECT_FALSE(loop.Terminated());
  std::thread stopper([&] { loop.Terminate(); });
  loop.Run();
  stopper.join();
  EXPECT_TRUE(loop.Terminated());
}

TEST(PollEventLoop, ProcessEventsReturnsAtOnceOnceTerminated) {
  PollEventLoop loop;
  loop.Terminate();
  const auto start = std::chrono::steady_clock::now();
  loop.ProcessEvents(60000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
}  // namespace corvel
