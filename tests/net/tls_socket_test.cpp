// The TLS layer of AsyncSocket on loopback, against an OpenSSL server in a
// thread of the test, with certificates made for the test run.
#include "net/tls_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/socket_errors.h"
#include "socket_test_util.h"
#include "support/system_event_loop.h"
#include "support/tls_test_pki.h"
#include "support/tls_test_server.h"
#include "support/wait_for.h"

namespace corvel {
namespace {

using test::CertFiles;
using test::CertSpec;
using test::EventLog;
using test::RaisedText;
using test::ReadInto;
using test::TestPki;
using test::TlsPeer;
using test::TlsServerOptions;
using test::TlsTestServer;
using test::WaitFor;

constexpr std::uint32_t kLimitMs = 30000;

std::string Pattern(std::size_t size, int seed) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>((i * 131 + i / 4099 + static_cast<std::size_t>(seed)) & 0xFF);
  }
  return text;
}

// What the server thread saw, read by the test once the session has ended.
struct ServerView {
  std::atomic<bool> handshook{false};
  std::string error;
  std::string received;
  std::string afterFailure;
  std::string serverName;
  std::string version;
  std::atomic<bool> closeNotify{false};
};

class TlsSocket : public ::testing::Test {
 protected:
  TlsSocket() : trust_(pki_.TrustOnly()), good_(pki_.Issue("good")) {}

  // Starts an implicit-TLS connection to `server` for `host`.
  void Connect(AsyncSocket& socket, const TlsTestServer& server,
               const std::string& host = "localhost") {
    log_.Attach(socket);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(server.PortText());
    socket.SetTlsMode(SocketTlsMode::tlsImplicit);
    socket.SetTlsHostName(host);
    socket.Connect();
  }

  // Connects to a server presenting `files` and expects the handshake to
  // fail; returns what the server saw.
  std::string FailedReason(const CertFiles& files, ServerView& view,
                           const std::string& host = "localhost") {
    TlsTestServer server({files}, [&view](TlsPeer& peer) {
      view.handshook = peer.Handshake();
      view.error = peer.Error();
      view.afterFailure = peer.ReadRawToEnd();
    });
    AsyncSocket socket(loop_);
    Connect(socket, server, host);
    // A client that talks as soon as it hears of the connection.
    socket.OnSessionConnected = [&](std::uint16_t error) {
      log_.Add("connected", error);
      if (error == 0) socket.SendText("USER tim\r\n");
    };
    EXPECT_TRUE(WaitFor(
        loop_, [&] { return server.Finished(); }, kLimitMs));
    EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:12001", "closed:12001"}));
    EXPECT_EQ(socket.State(), SocketState::wsClosed);
    EXPECT_FALSE(view.handshook);
    EXPECT_EQ(view.afterFailure, "") << "the client sent something after the failed handshake";
    return socket.TlsFailureReason();
  }

  test::SystemEventLoop loop_;
  TestPki pki_;
  std::unique_ptr<TestPki::TrustGuard> trust_;
  CertFiles good_;
  EventLog log_;
};

// ---- Implicit TLS.

TEST_F(TlsSocket, RoundTripsDataBothWaysOverImplicitTls) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    view.serverName = peer.ServerName();
    view.version = peer.Version();
    peer.Write("+OK ready\r\n");
    view.received = peer.ReadLine();
    peer.Write("+OK pong\r\n");
    peer.ReadToEnd();
    view.closeNotify = peer.SawCloseNotify();
  });
  AsyncSocket socket(loop_);
  std::string received;
  Connect(socket, server);
  ReadInto(socket, received);

  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK ready\r\n"; }, kLimitMs));
  EXPECT_TRUE(socket.TlsActive());
  const std::string version = socket.TlsVersion();
#ifndef _WIN32
  // Wine's SChannel goes no further than TLS 1.2.
  EXPECT_EQ(socket.TlsVersion(), "TLSv1.3");
#endif
  EXPECT_EQ(socket.SendText("PING\r\n"), 6);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK ready\r\n+OK pong\r\n"; }, kLimitMs));
  socket.Close();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));

  EXPECT_EQ(view.received, "PING\r\n");
  EXPECT_EQ(version, view.version);
  EXPECT_EQ(view.serverName, "localhost");
  EXPECT_TRUE(view.closeNotify) << "Close sends close_notify";
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "sent:0", "closed:0"}));
  EXPECT_EQ(socket.TlsFailureReason(), "");
}

TEST_F(TlsSocket, TellsOfTheConnectionOnlyOnceTheHandshakeHasEnded) {
  std::atomic<bool> go{false};
  TlsTestServer server({good_}, [&go](TlsPeer& peer) {
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (peer.Handshake()) peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  ASSERT_TRUE(WaitFor(loop_, [&] { return socket.State() == SocketState::wsConnected; }));
  loop_.ProcessEvents(0);
  EXPECT_EQ(log_.Count("connected"), 0);
  EXPECT_FALSE(socket.TlsActive());
  go = true;
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("connected:0"); }, kLimitMs));
  EXPECT_TRUE(socket.TlsActive());
  socket.Close();
}

TEST_F(TlsSocket, DeliversSeveralMegabytesFromTheServerInSmallReads) {
  const std::string data = Pattern(6 * 1024 * 1024 + 17, 1);
  TlsTestServer server({good_}, [&data](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write(data);
    peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  Connect(socket, server);
  ReadInto(socket, received, 4093);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received.size() >= data.size(); }, kLimitMs));
  EXPECT_TRUE(received == data) << "the bytes differ";
  EXPECT_EQ(socket.ReadCount(), static_cast<std::int64_t>(data.size()));
  socket.Close();
}

TEST_F(TlsSocket, SendsSeveralMegabytesAndTellsOnceTheyHaveGone) {
  const std::string data = Pattern(5 * 1024 * 1024 + 3, 2);
  ServerView view;
  TlsTestServer server({good_}, [&](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    view.received = peer.Read(data.size());
    peer.Write("+OK got it\r\n");
    peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  Connect(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("connected:0"); }, kLimitMs));
  EXPECT_EQ(socket.Send(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
  EXPECT_EQ(log_.Count("sent"), 0) << "OnDataSent never fires inside Send";
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK got it\r\n"; }, kLimitMs));
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("sent") == 1; }, kLimitMs));
  socket.Close();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  EXPECT_TRUE(view.received == data) << "the server got " << view.received.size() << " bytes";
  EXPECT_EQ(log_.Count("sent"), 1);
}

TEST_F(TlsSocket, DeliversPlaintextHeldInsideTheLayerWhileTheNetworkIsQuiet) {
  // One record of 50000 bytes arrives at once; the reader takes 1000 bytes
  // per event, and the server then says nothing more, so only the layer's
  // own count can bring the reader back for the rest.
  const std::string data = Pattern(50000, 3);
  std::atomic<bool> done{false};
  TlsTestServer server({good_}, [&](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write(data);
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  AsyncSocket socket(loop_);
  std::string received;
  std::vector<std::int32_t> waiting;
  Connect(socket, server);
  socket.OnDataAvailable = [&](std::uint16_t) {
    char buffer[1000];
    const int got = socket.Receive(buffer, sizeof buffer);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    waiting.push_back(socket.RcvdCount());
  };
  const bool all = WaitFor(
      loop_, [&] { return received.size() >= data.size(); }, kLimitMs);
  done = true;
  ASSERT_TRUE(all) << received.size();
  EXPECT_TRUE(received == data);
  ASSERT_FALSE(waiting.empty());
  EXPECT_GT(waiting.front(), 0) << "RcvdCount counts the decrypted bytes not yet read";
  EXPECT_EQ(waiting.back(), 0);
  socket.Close();
}

TEST_F(TlsSocket, AReaderThatStoppedReadingGetsEverythingOnceItReadsAgain) {
  // The handler leaves the data alone until the layer holds its fill and
  // the socket has stopped reading; then the program reads on its own.
  const std::string data = Pattern(2 * 1024 * 1024, 4);
  TlsTestServer server({good_}, [&data](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write(data);
    peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  int events = 0;
  socket.OnDataAvailable = [&events](std::uint16_t) { ++events; };
  // How much piles up before the socket stops reading depends on the
  // kernel's receive buffer, so wait only for the first data left unread and
  // for a data event the handler left alone; what counts is that reading
  // again brings all of it.
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return socket.RcvdCount() >= 16 * 1024 && events >= 1; }, kLimitMs));
  std::string received;
  std::vector<char> buffer(4093);
  const bool all = WaitFor(
      loop_,
      [&] {
        int got = 0;
        while ((got = socket.Receive(buffer.data(), static_cast<int>(buffer.size()))) > 0) {
          received.append(buffer.data(), static_cast<std::size_t>(got));
        }
        return received.size() >= data.size();
      },
      kLimitMs);
  EXPECT_TRUE(all) << received.size() << " of " << data.size();
  EXPECT_TRUE(received == data);
  socket.Close();
}

// ---- The server's close.

TEST_F(TlsSocket, ServerCloseNotifyDeliversTheDataThenClosesAndAnswersIt) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write("+OK bye\r\n");
    peer.SendCloseNotify();
    // The TCP connection stays open: the client must close on its own.
    peer.ReadToEnd();
    view.closeNotify = peer.SawCloseNotify();
  });
  AsyncSocket socket(loop_);
  std::string received;
  Connect(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("closed:0"); }, kLimitMs));
  EXPECT_EQ(received, "+OK bye\r\n");
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  EXPECT_TRUE(view.closeNotify);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "closed:0"}));
}

TEST_F(TlsSocket, ServerCloseWithoutCloseNotifyDeliversTheDataThenCloses) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write("+OK bye\r\n");
    peer.CloseTcp();
  });
  AsyncSocket socket(loop_);
  std::string received;
  Connect(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(received, "+OK bye\r\n");
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "closed:0"}));
  EXPECT_EQ(socket.TlsFailureReason(), "");
}

TEST_F(TlsSocket, BrokenRecordAfterTheHandshakeClosesWithTheProtocolErrorCode) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    if (!peer.Handshake()) return;
    peer.Write("+OK first\r\n");
    // An application-data record whose contents no key produced.
    std::string forged("\x17\x03\x03\x00\x20", 5);
    forged += std::string(32, '\x5A');
    peer.WritePlain(forged);
    peer.ReadRawToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  Connect(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(received, "+OK first\r\n");
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "closed:12002"}));
  EXPECT_NE(socket.TlsFailureReason(), "");
  EXPECT_EQ(SocketErrorText(kTlsProtocolError), "TLS protocol error");
}

// ---- Refused servers.

TEST_F(TlsSocket, RefusesAnUntrustedSelfSignedCertificate) {
  CertSpec spec;
  spec.selfSigned = true;
  ServerView view;
  EXPECT_EQ(FailedReason(pki_.Issue("self", spec), view), "self-signed certificate");
}

TEST_F(TlsSocket, RefusesAnExpiredCertificate) {
  CertSpec spec;
  spec.validFrom = -10 * 24 * 3600;
  spec.validUntil = -24 * 3600;
  ServerView view;
  EXPECT_EQ(FailedReason(pki_.Issue("expired", spec), view), "certificate has expired");
}

TEST_F(TlsSocket, RefusesACertificateForAnotherHostName) {
  CertSpec spec;
  spec.commonName = "mail.example.test";
  spec.dnsNames = {"mail.example.test"};
  ServerView view;
  EXPECT_EQ(FailedReason(pki_.Issue("other", spec), view), "host name mismatch");
}

TEST_F(TlsSocket, RefusesACertificateFromAnUnknownAuthority) {
  TestPki stranger;
  ServerView view;
  EXPECT_EQ(FailedReason(stranger.Issue("stranger"), view),
            "unable to get local issuer certificate");
}

TEST_F(TlsSocket, RefusesAServerThatOffersOnlyTls11) {
  TlsServerOptions options{good_};
  options.maxVersion = test::kTls11Version;
  ServerView view;
  TlsTestServer server(options, [&view](TlsPeer& peer) { view.handshook = peer.Handshake(); });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:12001", "closed:12001"}));
  EXPECT_FALSE(view.handshook);
  EXPECT_NE(socket.TlsFailureReason(), "");
}

TEST_F(TlsSocket, TellsAPlainTextServerFromABrokenOne) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    peer.WritePlain("+OK POP3 ready\r\n");
    peer.ReadRawToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:12001", "closed:12001"}));
  EXPECT_EQ(socket.TlsFailureReason(), "server did not answer with TLS");
  EXPECT_EQ(SocketErrorText(kTlsHandshakeFailed), "TLS handshake failed");
}

TEST_F(TlsSocket, ChecksADottedAddressAgainstTheCertificatesAddressesAndSendsNoSni) {
  CertSpec spec;
  spec.ipAddresses = {"127.0.0.1"};
  ServerView view;
  TlsTestServer server({pki_.Issue("ip", spec)}, [&view](TlsPeer& peer) {
    view.handshook = peer.Handshake();
    view.serverName = peer.ServerName();
    peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server, "127.0.0.1");
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("connected:0"); }, kLimitMs));
  socket.Close();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  EXPECT_TRUE(view.handshook);
  EXPECT_EQ(view.serverName, "");
}

TEST_F(TlsSocket, RefusesADottedAddressTheCertificateDoesNotName) {
  ServerView view;
  EXPECT_EQ(FailedReason(good_, view, "127.0.0.1"), "IP address mismatch");
}

TEST_F(TlsSocket, MatchesAWildcardOnlyAsTheWholeLeftMostLabel) {
  struct Case {
    const char* certName;
    const char* host;
    bool accepted;
  };
  for (const Case& c : {Case{"*.example.test", "mail.example.test", true},
                        Case{"MAIL.Example.TEST", "mail.example.test", true},
                        Case{"*.example.test", "a.mail.example.test", false},
                        Case{"*.example.test", "example.test", false},
                        Case{"m*.example.test", "mail.example.test", false}}) {
    SCOPED_TRACE(std::string(c.certName) + " for " + c.host);
    CertSpec spec;
    spec.commonName = c.certName;
    spec.dnsNames = {c.certName};
    TlsTestServer server({pki_.Issue("named", spec)}, [](TlsPeer& peer) {
      if (peer.Handshake()) peer.ReadToEnd();
    });
    EventLog log;
    AsyncSocket socket(loop_);
    log.Attach(socket);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(server.PortText());
    socket.SetTlsMode(SocketTlsMode::tlsImplicit);
    socket.SetTlsHostName(c.host);
    socket.Connect();
    ASSERT_TRUE(WaitFor(
        loop_, [&] { return log.Count("connected") > 0; }, kLimitMs));
    EXPECT_EQ(log.events.front(), c.accepted ? "connected:0" : "connected:12001");
    EXPECT_EQ(socket.TlsFailureReason(), c.accepted ? "" : "host name mismatch");
    socket.Close();
    ASSERT_TRUE(WaitFor(
        loop_, [&] { return server.Finished(); }, kLimitMs));
  }
}

TEST_F(TlsSocket, RefusesToStartWithoutAHostNameToCheck) {
  TlsTestServer server({good_}, [](TlsPeer& peer) { peer.ReadRawToEnd(); });
  AsyncSocket socket(loop_);
  Connect(socket, server, "");
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:12001", "closed:12001"}));
  EXPECT_EQ(socket.TlsFailureReason(), "no host name to check the certificate against");
}

TEST_F(TlsSocket, AbortDuringTheHandshakeClosesOnceWithoutConnecting) {
  std::atomic<bool> sawHello{false};
  TlsTestServer server({good_}, [&sawHello](TlsPeer& peer) {
    sawHello = peer.ReadRaw(1).size() == 1;
    peer.ReadRawToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return sawHello.load(); }, kLimitMs));
  socket.Abort();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:0"}));
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_FALSE(socket.TlsActive());
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  loop_.ProcessEvents(0);
  EXPECT_EQ(log_.events, (std::vector<std::string>{"closed:0"}));
}

// ---- Per-connection properties.

TEST_F(TlsSocket, ModeAndHostNameChangeOnlyWhileClosedAndResetAfterTheClose) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    if (peer.Handshake()) peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("connected:0"); }, kLimitMs));
  EXPECT_EQ(RaisedText([&] { socket.SetTlsMode(SocketTlsMode::tlsOff); }),
            "Cannot change TlsMode if not closed");
  EXPECT_EQ(RaisedText([&] { socket.SetTlsHostName("other"); }),
            "Cannot change TlsHostName if not closed");
  EXPECT_EQ(RaisedText([&] { socket.SetTlsHostName(" localhost "); }), "");
  socket.Close();
  EXPECT_EQ(socket.TlsMode(), SocketTlsMode::tlsOff);
  EXPECT_EQ(socket.TlsHostName(), "");
}

// ---- STARTTLS.

class StartTls : public TlsSocket {
 protected:
  // A plain connection whose host name is set for a later upgrade.
  void ConnectPlain(AsyncSocket& socket, const TlsTestServer& server) {
    log_.Attach(socket);
    socket.OnTlsHandshakeDone = [this](std::uint16_t error) { log_.Add("tls", error); };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(server.PortText());
    socket.SetTlsHostName("localhost");
    socket.Connect();
  }
};

TEST_F(StartTls, UpgradesAPlainConnection) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    peer.WritePlain("+OK ready\r\n");
    view.received = peer.ReadPlainLine();
    peer.WritePlain("+OK begin TLS\r\n");
    if (!peer.Handshake()) return;
    view.serverName = peer.ServerName();
    view.received += peer.ReadLine();
    peer.Write("+OK secure\r\n");
    peer.ReadToEnd();
    view.closeNotify = peer.SawCloseNotify();
  });
  AsyncSocket socket(loop_);
  std::string received;
  ConnectPlain(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK ready\r\n"; }, kLimitMs));
  socket.SendText("STLS\r\n");
  ASSERT_TRUE(WaitFor(loop_, [&] { return received == "+OK ready\r\n+OK begin TLS\r\n"; }));
  socket.StartTls();
  EXPECT_EQ(log_.Count("tls"), 0) << "the end of the handshake never comes from inside StartTls";
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("tls:0"); }, kLimitMs));
  EXPECT_TRUE(socket.TlsActive());
  socket.SendText("CAPA\r\n");
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received.ends_with("+OK secure\r\n"); }, kLimitMs));
  socket.Close();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  EXPECT_EQ(view.received, "STLS\r\nCAPA\r\n");
  EXPECT_EQ(view.serverName, "localhost");
  EXPECT_TRUE(view.closeNotify);
  EXPECT_EQ(log_.events,
            (std::vector<std::string>{"connected:0", "sent:0", "tls:0", "sent:0", "closed:0"}));
}

TEST_F(StartTls, SendDuringTheHandshakeGoesOutEncryptedOnceItHasEnded) {
  ServerView view;
  TlsTestServer server({good_}, [&view](TlsPeer& peer) {
    peer.WritePlain("+OK ready\r\n");
    if (!peer.Handshake()) return;
    view.received = peer.ReadLine();
    peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  ConnectPlain(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK ready\r\n"; }, kLimitMs));
  socket.StartTls();
  EXPECT_EQ(socket.SendText("NOOP\r\n"), 6);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("tls:0"); }, kLimitMs));
  socket.Close();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  EXPECT_EQ(view.received, "NOOP\r\n");
}

TEST_F(StartTls, AFailedHandshakeEndsWithItsCodeAndClosesTheConnection) {
  CertSpec spec;
  spec.validFrom = -10 * 24 * 3600;
  spec.validUntil = -24 * 3600;
  ServerView view;
  TlsTestServer server({pki_.Issue("expired", spec)}, [&view](TlsPeer& peer) {
    peer.WritePlain("+OK ready\r\n");
    view.handshook = peer.Handshake();
    view.afterFailure = peer.ReadRawToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  ConnectPlain(socket, server);
  ReadInto(socket, received);
  socket.OnTlsHandshakeDone = [&](std::uint16_t error) {
    log_.Add("tls", error);
    if (error == 0) socket.SendText("USER tim\r\n");
  };
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK ready\r\n"; }, kLimitMs));
  socket.StartTls();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return server.Finished(); }, kLimitMs));
  EXPECT_FALSE(view.handshook);
  EXPECT_EQ(view.afterFailure, "");
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "tls:12001", "closed:12001"}));
  EXPECT_EQ(socket.TlsFailureReason(), "certificate has expired");
}

TEST_F(StartTls, TakesPlainTextWhereTheHandshakeShouldBeAsAFailedHandshake) {
  // Whatever a man in the middle slips in behind the server's go-ahead must
  // never come out of the layer as if it had been protected.
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    peer.WritePlain("+OK begin TLS\r\n");
    if (peer.ReadRaw(1).size() != 1) return;  // the ClientHello has come
    peer.WritePlain("+OK logged in as someone else\r\n");
    peer.ReadRawToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  ConnectPlain(socket, server);
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK begin TLS\r\n"; }, kLimitMs));
  received.clear();
  socket.StartTls();
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(received, "");
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "tls:12001", "closed:12001"}));
  EXPECT_EQ(socket.TlsFailureReason(), "server did not answer with TLS");
}

TEST_F(StartTls, WithoutAHostNameFailsFromTheLoopNotInsideTheCall) {
  TlsTestServer server({good_}, [](TlsPeer& peer) {
    peer.WritePlain("+OK ready\r\n");
    peer.ReadRawToEnd();
  });
  AsyncSocket socket(loop_);
  std::string received;
  log_.Attach(socket);
  socket.OnTlsHandshakeDone = [this](std::uint16_t error) { log_.Add("tls", error); };
  socket.SetAddr("127.0.0.1");
  socket.SetPort(server.PortText());
  socket.Connect();
  ReadInto(socket, received);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return received == "+OK ready\r\n"; }, kLimitMs));
  socket.StartTls();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0"}));
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Count("closed") > 0; }, kLimitMs));
  EXPECT_EQ(log_.events, (std::vector<std::string>{"connected:0", "tls:12001", "closed:12001"}));
  EXPECT_EQ(socket.TlsFailureReason(), "no host name to check the certificate against");
}

TEST_F(StartTls, RefusesToStartOnAClosedSocketOrTwice) {
  AsyncSocket closed(loop_);
  EXPECT_EQ(RaisedText([&] { closed.StartTls(); }), "StartTls: Socket is not connected");

  TlsTestServer server({good_}, [](TlsPeer& peer) {
    if (peer.Handshake()) peer.ReadToEnd();
  });
  AsyncSocket socket(loop_);
  Connect(socket, server);
  ASSERT_TRUE(WaitFor(
      loop_, [&] { return log_.Has("connected:0"); }, kLimitMs));
  EXPECT_EQ(RaisedText([&] { socket.StartTls(); }), "StartTls: TLS already started");
  socket.Close();
}

}  // namespace
}  // namespace corvel
