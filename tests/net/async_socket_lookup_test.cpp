#include <gtest/gtest.h>

#include <memory>

#include "net/async_socket.h"
#include "socket_test_util.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"

namespace corvel {
namespace {

using test::EventLog;
using test::RaisedText;
using test::WaitFor;

class SocketLookup : public ::testing::Test {
 protected:
  test::SystemEventLoop loop_;
  EventLog log_;
};

TEST_F(SocketLookup, DottedLiteralCompletesBeforeDnsLookupReturns) {
  AsyncSocket socket(loop_);
  bool returned = false;
  int firedBeforeReturn = 0;
  socket.OnDnsLookupDone = [&](std::uint16_t error) {
    EXPECT_EQ(error, 0);
    if (!returned) ++firedBeforeReturn;
  };
  socket.DnsLookup("10.0.0.1");
  returned = true;
  EXPECT_EQ(firedBeforeReturn, 1);
  EXPECT_EQ(socket.DnsResult(), "10.0.0.1");
  EXPECT_EQ(socket.DnsResultList(), (std::vector<std::string>{"10.0.0.1"}));
  EXPECT_FALSE(loop_.ProcessEvents(0));
}

TEST_F(SocketLookup, DottedLiteralIsNormalised) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup(" 010.000.0.01 ");
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:0"}));
  EXPECT_EQ(socket.DnsResult(), "10.0.0.1");
}

TEST_F(SocketLookup, AllOnesAddressGoesToTheAsynchronousLookup) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup("255.255.255.255");
  EXPECT_TRUE(log_.events.empty());
  ASSERT_TRUE(WaitFor(loop_, [&] { return !log_.events.empty(); }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:0"}));
  EXPECT_EQ(socket.DnsResult(), "255.255.255.255");
}

TEST_F(SocketLookup, EmptyNameRaisesInvalidHostName) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  EXPECT_EQ(RaisedText([&] { socket.DnsLookup(""); }), "DNS lookup: invalid host name.");
  EXPECT_TRUE(log_.events.empty());
}

TEST_F(SocketLookup, ABlankNameIsAnEmptyName) {
  AsyncSocket socket(loop_);
  EXPECT_EQ(RaisedText([&] { socket.DnsLookup("   "); }), "DNS lookup: invalid host name.");
}

TEST_F(SocketLookup, AHostNameIsLookedUpWithoutSurroundingBlanks) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup(" localhost ");
  ASSERT_TRUE(WaitFor(loop_, [&] { return !log_.events.empty(); }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:0"}));
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
}

TEST_F(SocketLookup, EmptyNameWithOnErrorSetCompletesWithInvalidArgument) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  int errors = 0;
  socket.OnError = [&] { ++errors; };
  socket.DnsLookup("");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:10022"}));
}

TEST_F(SocketLookup, HostNameResolvesOnTheLoopLater) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup("localhost");
  EXPECT_TRUE(log_.events.empty());
  ASSERT_TRUE(WaitFor(loop_, [&] { return !log_.events.empty(); }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:0"}));
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
  ASSERT_FALSE(socket.DnsResultList().empty());
  EXPECT_EQ(socket.DnsResultList().front(), "127.0.0.1");
}

TEST_F(SocketLookup, UnknownHostCompletesWithHostNotFound) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup("no..such..host");
  ASSERT_TRUE(WaitFor(loop_, [&] { return !log_.events.empty(); }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:11001"}));
  EXPECT_EQ(socket.DnsResult(), "");
  EXPECT_TRUE(socket.DnsResultList().empty());
}

// Waits until a lookup started after `socket`'s own has come back, so that a
// result of the earlier lookup would have been delivered by then too.
void LetEarlierLookupsFinish(EventLoop& loop) {
  AsyncSocket probe(loop);
  bool done = false;
  probe.OnDnsLookupDone = [&](std::uint16_t) { done = true; };
  probe.DnsLookup("localhost");
  ASSERT_TRUE(WaitFor(loop, [&] { return done; }));
  for (int i = 0; i < 5; ++i) loop.ProcessEvents(10);
}

TEST_F(SocketLookup, CancelLookupFiresInterruptedOnceAndDropsTheLateResult) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup("localhost");
  socket.CancelLookup();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:10004"}));
  LetEarlierLookupsFinish(loop_);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:10004"}));
  EXPECT_EQ(socket.DnsResult(), "");
}

TEST_F(SocketLookup, CancelLookupWithNothingPendingDoesNothing) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.CancelLookup();
  socket.DnsLookup("10.0.0.1");
  socket.CancelLookup();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:0"}));
}

TEST_F(SocketLookup, ANewLookupReplacesAPendingOne) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup("localhost");
  socket.DnsLookup("10.1.2.3");
  LetEarlierLookupsFinish(loop_);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:0"}));
  EXPECT_EQ(socket.DnsResult(), "10.1.2.3");
}

TEST_F(SocketLookup, AbortCancelsAPendingLookup) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.DnsLookup("localhost");
  socket.Abort();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:10004"}));
  LetEarlierLookupsFinish(loop_);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"lookup:10004"}));
}

TEST_F(SocketLookup, DestroyingTheSocketWithALookupPendingCallsNothing) {
  int calls = 0;
  {
    auto socket = std::make_unique<AsyncSocket>(loop_);
    socket->OnDnsLookupDone = [&](std::uint16_t) { ++calls; };
    socket->DnsLookup("localhost");
  }
  LetEarlierLookupsFinish(loop_);
  EXPECT_EQ(calls, 0);
}

TEST(SocketLookupResult, DestroyingTheSocketAfterTheResultWasPostedCallsNothing) {
  test::CountingLoop loop;
  int calls = 0;
  auto socket = std::make_unique<AsyncSocket>(loop);
  socket->OnDnsLookupDone = [&](std::uint16_t) { ++calls; };
  socket->DnsLookup("localhost");
  ASSERT_TRUE(loop.WaitForPosts(1));  // the result now waits in the queue
  socket.reset();
  loop.ProcessEvents(0);
  EXPECT_EQ(calls, 0);
}

TEST(SocketLookupResult, ACancelledLookupsQueuedResultIsDropped) {
  test::CountingLoop loop;
  EventLog log;
  AsyncSocket socket(loop);
  log.Attach(socket);
  socket.DnsLookup("localhost");
  ASSERT_TRUE(loop.WaitForPosts(1));
  socket.CancelLookup();
  loop.ProcessEvents(0);
  EXPECT_EQ(log.events, (std::vector<std::string>{"lookup:10004"}));
}

TEST_F(SocketLookup, AnExceptionFromTheLookupHandlerAbortsTheSocket) {
  AsyncSocket socket(loop_);
  std::string seen;
  bool closed = false;
  socket.OnDnsLookupDone = [](std::uint16_t) { throw SocketException("handler failed"); };
  socket.OnBgException = [&](const std::exception& e, bool&) { seen = e.what(); };
  socket.OnSessionClosed = [&](std::uint16_t) { closed = true; };
  socket.DnsLookup("localhost");
  ASSERT_TRUE(WaitFor(loop_, [&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "handler failed");
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_FALSE(closed);  // there was no connection to close
}

}  // namespace
}  // namespace corvel
