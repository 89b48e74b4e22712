#include "net/async_socket.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <netinet/tcp.h>
#endif

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pop3_server/plain_socket.h"
#include "socket_test_util.h"
#include "support/loopback.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"

namespace corvel {
namespace {

using test::EventLog;
using test::LoopbackListener;
using test::PeerSocket;
using test::RaisedText;
using test::ReadInto;
using test::RecordingSocket;
using test::WaitFor;

std::string Pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return text;
}

int IntOption(SocketHandle handle, int level, int name) {
  int value = 0;  // Winsock fills only one byte of some options
  socklen_t length = sizeof value;
  EXPECT_EQ(
      ::getsockopt(static_cast<int>(handle), level, name, reinterpret_cast<char*>(&value), &length),
      0);
  return value;
}

class SocketConnection : public ::testing::Test {
 protected:
  // Connects `socket` to the listener and returns the accepted peer.
  PeerSocket ConnectAndAccept(CustomAsyncSocket& socket) {
    socket.SetAddr("127.0.0.1");
    socket.SetPort(listener_.PortText());
    socket.Connect();
    EXPECT_EQ(socket.State(), SocketState::wsConnecting);
    EXPECT_TRUE(WaitFor(loop_, [&] { return socket.State() == SocketState::wsConnected; }));
    PeerSocket peer = listener_.Accept();
    EXPECT_TRUE(peer.Valid());
    return peer;
  }

  test::SystemEventLoop loop_;
  LoopbackListener listener_;
  EventLog log_;
};

// ---- Properties.

TEST_F(SocketConnection, StartsClosedWithTheDefaults) {
  AsyncSocket socket(loop_);
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_EQ(socket.Addr(), "");
  EXPECT_EQ(socket.Port(), "");
  EXPECT_EQ(socket.Proto(), "tcp");
  EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(socket.LocalPort(), "0");
  EXPECT_EQ(socket.LingerOnOff(), SocketLingerOnOff::wsLingerOn);
  EXPECT_EQ(socket.LingerTimeout(), 0);
  EXPECT_EQ(socket.ComponentOptions(), 0u);
  EXPECT_EQ(socket.Handle(), kInvalidSocket);
}

TEST_F(SocketConnection, TrimsAddrPortAndProto) {
  AsyncSocket socket(loop_);
  socket.SetAddr("  127.0.0.1 ");
  socket.SetPort(" 110 ");
  socket.SetProto(" tcp\t");
  EXPECT_EQ(socket.Addr(), "127.0.0.1");
  EXPECT_EQ(socket.Port(), "110");
  EXPECT_EQ(socket.Proto(), "tcp");
}

TEST_F(SocketConnection, EmptyLocalAddrStoresTheAnyAddress) {
  AsyncSocket socket(loop_);
  socket.SetLocalAddr("127.0.0.1");
  EXPECT_EQ(socket.LocalAddr(), "127.0.0.1");
  socket.SetLocalAddr("");
  EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
}

TEST_F(SocketConnection, ATrimmedPortConnects) {
  AsyncSocket socket(loop_);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(" " + listener_.PortText() + " ");
  socket.Connect();
  ASSERT_TRUE(WaitFor(loop_, [&] { return socket.State() == SocketState::wsConnected; }));
  EXPECT_TRUE(listener_.Accept().Valid());
}

TEST_F(SocketConnection, EndpointCannotChangeWhileConnected) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_EQ(RaisedText([&] { socket.SetPort("111"); }), "Cannot change Port if not closed");
  EXPECT_EQ(RaisedText([&] { socket.SetAddr("10.0.0.1"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(RaisedText([&] { socket.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(RaisedText([&] { socket.SetLocalAddr("127.0.0.1"); }),
            "Cannot change LocalAddr if not closed");
  EXPECT_EQ(RaisedText([&] { socket.SetLocalPort("1"); }), "Cannot change LocalPort if not closed");
}

TEST_F(SocketConnection, AssigningTheSameEndpointAgainWhileConnectedIsNoError) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_EQ(RaisedText([&] { socket.SetPort(listener_.PortText()); }), "");
  EXPECT_EQ(RaisedText([&] { socket.SetPort(" " + listener_.PortText()); }), "");
  EXPECT_EQ(RaisedText([&] { socket.SetAddr("127.0.0.1"); }), "");
  EXPECT_EQ(RaisedText([&] { socket.SetProto("tcp"); }), "");
}

TEST_F(SocketConnection, ChangeWhileConnectedWithOnErrorSetRunsTheHandler) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  int errors = 0;
  socket.OnError = [&] { ++errors; };
  socket.SetPort("1");
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(socket.Port(), listener_.PortText());
}

// ---- Connect.

TEST_F(SocketConnection, ConnectsToAListeningPort) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(listener_.PortText());
  socket.Connect();
  EXPECT_EQ(socket.State(), SocketState::wsConnecting);
  EXPECT_TRUE(log_.events.empty());
  ASSERT_TRUE(WaitFor(loop_, [&] { return !log_.events.empty(); }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0"}));
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
  EXPECT_TRUE(listener_.Accept().Valid());
}

TEST_F(SocketConnection, GoesThroughTheStatesOfAConnection) {
  AsyncSocket socket(loop_);
  std::vector<std::pair<SocketState, SocketState>> changes;
  socket.OnChangeState = [&](SocketState from, SocketState to) { changes.emplace_back(from, to); };
  PeerSocket peer = ConnectAndAccept(socket);
  socket.Close();
  using S = SocketState;
  EXPECT_EQ(changes, (std::vector<std::pair<S, S>>{{S::wsClosed, S::wsOpened},
                                                   {S::wsOpened, S::wsConnecting},
                                                   {S::wsConnecting, S::wsConnected},
                                                   {S::wsConnected, S::wsClosed}}));
}

TEST_F(SocketConnection, AppliesKeepAliveLingerAndNoDelay) {
  AsyncSocket socket(loop_);
  socket.SetComponentOptions(wsoTcpNoDelay);
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_NE(IntOption(socket.Handle(), SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_NE(IntOption(socket.Handle(), SOL_SOCKET, SO_REUSEADDR), 0);
  EXPECT_NE(IntOption(socket.Handle(), IPPROTO_TCP, TCP_NODELAY), 0);
  linger value{};
  socklen_t length = sizeof value;
  ASSERT_EQ(::getsockopt(static_cast<int>(socket.Handle()), SOL_SOCKET, SO_LINGER,
                         reinterpret_cast<char*>(&value), &length),
            0);
  EXPECT_EQ(value.l_onoff, 1);
  EXPECT_EQ(value.l_linger, 0);
}

TEST_F(SocketConnection, LeavesNoDelayOffUnlessAsked) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_EQ(IntOption(socket.Handle(), IPPROTO_TCP, TCP_NODELAY), 0);
}

TEST_F(SocketConnection, RefusedConnectionReportsTheErrorThenClosesOnce) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(test::ClosedLoopbackPort()));
  socket.Connect();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:10061", "closed:0"}));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
}

TEST_F(SocketConnection, RefusedConnectionClosedByItsHandlerClosesOnce) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.OnSessionConnected = [&](std::uint16_t error) {
    log_.Add("connected", error);
    if (error != 0) socket.Close();  // as the POP3 client does
  };
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(test::ClosedLoopbackPort()));
  socket.Connect();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:10061", "closed:0"}));
}

TEST_F(SocketConnection, ConnectAfterCloseNeedsThePortAgain) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  socket.Close();
  EXPECT_EQ(socket.Port(), "");
  EXPECT_EQ(socket.Addr(), "");
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }), "Connect: No Port Specified");
}

TEST_F(SocketConnection, TheSameEndpointCanBeSetAgainAfterAClose) {
  // The POP3 client assigns the same port text for every connection.
  AsyncSocket socket(loop_);
  PeerSocket first = ConnectAndAccept(socket);
  socket.Close();
  PeerSocket second = ConnectAndAccept(socket);
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
}

TEST_F(SocketConnection, ConnectNeedsAnAddress) {
  AsyncSocket socket(loop_);
  socket.SetPort("110");
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }), "Connect: No IP Address Specified");
}

TEST_F(SocketConnection, ConnectNeedsAProtocol) {
  AsyncSocket socket(loop_);
  socket.SetPort("110");
  socket.SetAddr("127.0.0.1");
  socket.SetProto("");
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }), "Connect: No Protocol Specified");
}

TEST_F(SocketConnection, ConnectWhileConnectedReportsSocketInUse) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }), "Connect: Socket already in use");
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
}

TEST_F(SocketConnection, UnknownServiceNameIsReportedByConnect) {
  AsyncSocket socket(loop_);
  socket.SetAddr("127.0.0.1");
  socket.SetPort("nosuchservice");
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }),
            "connect: ResolvePort: Cannot convert port 'nosuchservice', Error #11004");
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_EQ(socket.Handle(), kInvalidSocket);
}

TEST_F(SocketConnection, ServiceNameIsResolvedThroughTheServicesDatabase) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.SetAddr("127.0.0.1");
  socket.SetPort("pop3");
  socket.Connect();  // to 127.0.0.1:110: answered or refused, but started
  EXPECT_EQ(socket.State(), SocketState::wsConnecting);
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("connected") > 0; }));
  socket.Abort();
}

TEST_F(SocketConnection, BindsToALocalAddressAndReadsBackThePort) {
  AsyncSocket socket(loop_);
  socket.SetLocalAddr("127.0.0.1");
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_NE(socket.LocalPort(), "0");
  EXPECT_GT(std::stoi(socket.LocalPort()), 0);
}

TEST_F(SocketConnection, AFailedBindLeavesTheSocketClosedAndReusable) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(listener_.PortText());
  socket.SetLocalAddr("127.0.0.1");
  socket.SetLocalPort(listener_.PortText());  // taken by the listener
#ifdef _WIN32
  // Windows may call a port bound by another socket a lack of access (10013).
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }).rfind("winsock.bind failed, error #100", 0), 0u);
#else
  EXPECT_EQ(RaisedText([&] { socket.Connect(); }), "winsock.bind failed, error #10048");
#endif
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_EQ(socket.Handle(), kInvalidSocket);
  EXPECT_TRUE(log_.events.empty());
  // The endpoint is kept, so the next attempt needs only the fix.
  socket.SetLocalPort("0");
  socket.Connect();
  ASSERT_TRUE(WaitFor(loop_, [&] { return socket.State() == SocketState::wsConnected; }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0"}));
}

// ---- Sending.

TEST_F(SocketConnection, SendQueuesWholeBlocksAndReportsDataSentFromTheLoop) {
  RecordingSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  const std::string data = Pattern(5000);
  EXPECT_EQ(socket.Send(data.data(), static_cast<int>(data.size())), 5000);
  EXPECT_EQ(socket.offered, (std::vector<int>{1460, 1460, 1460, 620}));
  EXPECT_TRUE(log_.events.empty());  // never inside Send
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("sent") > 0; }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"sent:0"}));
  EXPECT_EQ(peer.ReadExactly(5000), data);
}

TEST_F(SocketConnection, ALaterSendReusesTheDrainedLastBlock) {
  RecordingSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_EQ(socket.SendText("USER bob\r\n"), 10);
  EXPECT_EQ(socket.SendText("PASS x\r\n"), 8);
  EXPECT_EQ(socket.offered, (std::vector<int>{10, 8}));
  EXPECT_EQ(peer.ReadExactly(18), "USER bob\r\nPASS x\r\n");
}

TEST_F(SocketConnection, SendTextOfNothingSendsNothing) {
  RecordingSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  EXPECT_EQ(socket.SendText(""), 0);
  EXPECT_TRUE(socket.offered.empty());
  loop_.ProcessEvents(0);
  EXPECT_TRUE(log_.events.empty());
}

TEST_F(SocketConnection, SendOfNoBytesStillReportsDataSent) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  EXPECT_EQ(socket.Send("", 0), 0);
  EXPECT_TRUE(log_.events.empty());
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("sent") > 0; }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"sent:0"}));
}

TEST_F(SocketConnection, SendWhileClosedRaisesNotConnected) {
  AsyncSocket socket(loop_);
  EXPECT_EQ(RaisedText([&] { (void)socket.Send("x", 1); }),
            "Error 10057 in function Send\r\nSocket is not connected");
  EXPECT_EQ(socket.LastError(), 10057);
}

TEST_F(SocketConnection, SendWhileClosedWithOnErrorSetReturnsMinusOne) {
  AsyncSocket socket(loop_);
  int errors = 0;
  socket.OnError = [&] { ++errors; };
  EXPECT_EQ(socket.Send("x", 1), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(socket.LastError(), 10057);
}

TEST_F(SocketConnection, LargeSendToASlowReaderArrivesComplete) {
  RecordingSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  const std::string data = Pattern(8 * 1024 * 1024);
  EXPECT_EQ(socket.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  // Nobody reads yet: the network took only part of it, and the rest must go
  // out on write events.
  EXPECT_LT(socket.accepted, static_cast<long long>(data.size()));
  std::string received;
  std::thread reader([&] { received = peer.ReadExactly(data.size(), 60000); });
  bool sent = WaitFor(
      loop_, [&] { return log_.Count("sent") > 0; }, 60000);
  reader.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"sent:0"}));
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST_F(SocketConnection, PeerResetDuringASendClosesWithTheError) {
  RecordingSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  const std::string data = Pattern(16 * 1024 * 1024);
  socket.Send(data.data(), static_cast<int>(data.size()));
  ASSERT_LT(socket.accepted, static_cast<long long>(data.size()));
  peer.Reset();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:10054"}));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
}

// ---- Receiving.

TEST_F(SocketConnection, DeliversReceivedBytesAndCountsThem) {
  AsyncSocket socket(loop_);
  std::string received;
  ReadInto(socket, received);
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll("+OK POP3 ready <4711.123>\r\n"));
  ASSERT_TRUE(WaitFor(loop_, [&] { return received.size() == 27; }));
  EXPECT_EQ(received, "+OK POP3 ready <4711.123>\r\n");
  EXPECT_EQ(socket.ReadCount(), 27);
}

TEST_F(SocketConnection, ReceiveWithNothingWaitingReportsWouldBlock) {
  AsyncSocket socket(loop_);
  PeerSocket peer = ConnectAndAccept(socket);
  char buffer[16];
  EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
  EXPECT_EQ(socket.LastError(), 10035);
  EXPECT_EQ(socket.RcvdCount(), 0);
}

TEST_F(SocketConnection, DataInFlightWhenThePeerClosesComesBeforeTheClose) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  std::string received;
  std::size_t receivedAtClose = 0;
  ReadInto(socket, received, 1000);
  socket.OnSessionClosed = [&](std::uint16_t error) {
    log_.Add("closed", error);
    receivedAtClose = received.size();
  };
  PeerSocket peer = ConnectAndAccept(socket);
  const std::string data = Pattern(200 * 1000);
  ASSERT_TRUE(peer.SendAll(data));
  peer.Close();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  EXPECT_EQ(receivedAtClose, data.size());
  EXPECT_TRUE(received == data);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "closed:0"}));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
}

TEST_F(SocketConnection, WithoutADataHandlerIncomingBytesAreDiscarded) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll(Pattern(5000)));
  peer.Close();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "closed:0"}));
}

TEST_F(SocketConnection, AnExceptionFromTheDataHandlerEndsThePassOnly) {
  AsyncSocket socket(loop_);
  std::string received;
  int calls = 0;
  socket.OnDataAvailable = [&](std::uint16_t) {
    ++calls;
    char buffer[10];
    int got = socket.Receive(buffer, sizeof buffer);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    throw std::runtime_error("handler failed");
  };
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll(Pattern(95)));
  // WaitFor would fail with the exception if it escaped ProcessEvents.
  ASSERT_TRUE(WaitFor(loop_, [&] { return received.size() == 95; }));
  EXPECT_EQ(received, Pattern(95));
  EXPECT_GE(calls, 10);
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
}

TEST_F(SocketConnection, AHandlerThatLeavesDataUnreadDoesNotKeepTheLoopBusy) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  int calls = 0;
  socket.OnDataAvailable = [&](std::uint16_t) {
    // Ends a pass that would otherwise never end, so a failure shows as one.
    if (++calls > 100) throw std::runtime_error("called over and over");
  };
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll("unread"));
  ASSERT_TRUE(WaitFor(loop_, [&] { return calls > 0; }));
  // Left unread, the bytes keep the socket readable; the loop must still go
  // back to sleeping instead of calling the handler over and over.
  int idleTurns = 0;
  for (int i = 0; i < 50 && idleTurns < 3; ++i) {
    if (!loop_.ProcessEvents(20)) ++idleTurns;
  }
  EXPECT_EQ(idleTurns, 3);
  EXPECT_LE(calls, 4);
#ifndef _WIN32
  // The peer's close is still noticed. (Windows tells an orderly close only
  // once everything before it has been read.)
  peer.Close();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
#endif
}

TEST_F(SocketConnection, ReadingAgainResumesDelivery) {
  AsyncSocket socket(loop_);
  bool reading = false;
  std::string received;
  socket.OnDataAvailable = [&](std::uint16_t) {
    if (!reading) return;
    char buffer[64];
    int got = socket.Receive(buffer, sizeof buffer);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
  };
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll("first"));
  for (int i = 0; i < 5; ++i) loop_.ProcessEvents(20);
  // The program reads on its own, then lets the handler do it again.
  char buffer[64];
  int got = socket.Receive(buffer, sizeof buffer);
  ASSERT_EQ(got, 5);
  reading = true;
  ASSERT_TRUE(peer.SendAll("second"));
  ASSERT_TRUE(WaitFor(loop_, [&] { return received == "second"; }));
}

TEST_F(SocketConnection, AHandlerThatSkipsOneReadWithAFullBufferGetsTheRest) {
  // The POP3 client reads into a 4096-byte buffer; when 4093 bytes without a
  // line end fill it, one pass hands them on as a line and reads nothing.
  AsyncSocket socket(loop_);
  std::string held;
  std::vector<std::string> lines;
  socket.OnDataAvailable = [&](std::uint16_t) {
    if (held.size() >= 4093) {
      lines.push_back(held);
      held.clear();
      return;
    }
    char buffer[4093];
    int got = socket.Receive(buffer, static_cast<int>(4093 - held.size()));
    if (got < 1) return;
    held.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = held.find('\n')) != std::string::npos;) {
      lines.push_back(held.substr(0, end));
      held.erase(0, end + 1);
    }
  };
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll(std::string(10000, 'x') + "\nnext\n"));
  ASSERT_TRUE(WaitFor(loop_, [&] { return lines.size() == 4; }));
  EXPECT_EQ(lines[0], std::string(4093, 'x'));
  EXPECT_EQ(lines[1], std::string(4093, 'x'));
  EXPECT_EQ(lines[2], std::string(10000 - 2 * 4093, 'x'));
  EXPECT_EQ(lines[3], "next");
}

TEST_F(SocketConnection, AnIdleConnectionLetsTheLoopSleep) {
  // Always writable, but nothing to send: no event may come of it.
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  socket.SendText("NOOP\r\n");
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("sent") > 0; }));
  EXPECT_FALSE(loop_.ProcessEvents(50));
  EXPECT_FALSE(loop_.ProcessEvents(50));
}

TEST_F(SocketConnection, PeerResetWhileIdleClosesWithTheError) {
#ifdef _WIN32
  GTEST_SKIP() << "Wine tells the reset of an idle connection as an orderly close";
#endif
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  peer.Reset();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "closed:10054"}));
}

TEST_F(SocketConnection, ADataHandlerClosingAtThePeersCloseGivesOneCloseEvent) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.OnDataAvailable = [&](std::uint16_t) {
    char buffer[64];
    (void)socket.Receive(buffer, sizeof buffer);
    socket.Close();  // as the POP3 client does after a negative greeting
  };
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll("-ERR busy\r\n"));
  peer.Close();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("closed") > 0; }));
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.Count("closed"), 1);
}

// ---- Close and abort.

TEST_F(SocketConnection, CloseStartsTheNextConnectionFromFreshCounts) {
  AsyncSocket socket(loop_);
  std::string received;
  ReadInto(socket, received);
  PeerSocket peer = ConnectAndAccept(socket);
  ASSERT_TRUE(peer.SendAll("+OK\r\n"));
  ASSERT_TRUE(WaitFor(loop_, [&] { return socket.ReadCount() == 5; }));
  socket.SetLingerTimeout(5);
  socket.Close();
  EXPECT_EQ(socket.ReadCount(), 0);
  EXPECT_EQ(socket.LingerTimeout(), 0);
  EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
}

TEST_F(SocketConnection, CloseFiresSessionClosedOnce) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  socket.Close();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:0"}));
  socket.Close();
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:0"}));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_TRUE(peer.WaitForClose());
}

TEST_F(SocketConnection, AbortFiresSessionClosedOnce) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket peer = ConnectAndAccept(socket);
  log_.events.clear();
  socket.Abort();
  socket.Abort();
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:0"}));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_TRUE(peer.WaitForClose());
}

TEST_F(SocketConnection, CloseWhileConnectingFiresSessionClosedOnce) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(listener_.PortText());
  socket.Connect();
  socket.Close();
  for (int i = 0; i < 5; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:0"}));
}

TEST_F(SocketConnection, ASessionClosedHandlerMayStartTheNextConnection) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  bool reconnect = true;
  socket.OnSessionClosed = [&](std::uint16_t error) {
    log_.Add("closed", error);
    if (!reconnect) return;
    reconnect = false;
    socket.SetAddr("127.0.0.1");
    socket.SetPort(listener_.PortText());
    socket.Connect();
  };
  PeerSocket first = ConnectAndAccept(socket);
  socket.Close();
  ASSERT_TRUE(WaitFor(loop_, [&] { return log_.Count("connected") == 2; }));
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
  EXPECT_EQ(socket.Port(), listener_.PortText());
  EXPECT_TRUE(listener_.Accept().Valid());
}

TEST_F(SocketConnection, DestroyingTheSocketWithAWriteEventQueuedCallsNothing) {
  int calls = 0;
  PeerSocket peer;
  {
    auto socket = std::make_unique<AsyncSocket>(loop_);
    socket->OnDataSent = [&](std::uint16_t) { ++calls; };
    socket->OnSessionClosed = [&](std::uint16_t) { ++calls; };
    peer = ConnectAndAccept(*socket);
    socket->SendText("QUIT\r\n");  // drained at once: a write event is posted
  }
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(peer.WaitForClose());
}

TEST_F(SocketConnection, AWriteEventOfAnEarlierConnectionIsIgnored) {
  AsyncSocket socket(loop_);
  log_.Attach(socket);
  PeerSocket first = ConnectAndAccept(socket);
  socket.SendText("QUIT\r\n");
  socket.Close();
  log_.events.clear();
  PeerSocket second = ConnectAndAccept(socket);
  for (int i = 0; i < 3; ++i) loop_.ProcessEvents(10);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0"}));
}

// ---- Failures in handlers.

TEST_F(SocketConnection, AnExceptionFromAnEventHandlerAbortsTheConnection) {
  AsyncSocket socket(loop_);
  std::string seen;
  int closed = 0;
  socket.OnSessionConnected = [](std::uint16_t) { throw SocketException("handler failed"); };
  socket.OnBgException = [&](const std::exception& e, bool&) { seen = e.what(); };
  socket.OnSessionClosed = [&](std::uint16_t) { ++closed; };
  socket.SetAddr("127.0.0.1");
  socket.SetPort(listener_.PortText());
  socket.Connect();
  ASSERT_TRUE(WaitFor(loop_, [&] { return closed > 0; }));
  EXPECT_EQ(seen, "handler failed");
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
}

TEST_F(SocketConnection, ClearingCanCloseKeepsTheConnection) {
  AsyncSocket socket(loop_);
  bool failed = false;
  socket.OnSessionConnected = [](std::uint16_t) { throw SocketException("handler failed"); };
  socket.OnBgException = [&](const std::exception&, bool& canClose) {
    failed = true;
    canClose = false;
  };
  PeerSocket peer = ConnectAndAccept(socket);
  EXPECT_TRUE(failed);
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
}

}  // namespace
}  // namespace corvel
