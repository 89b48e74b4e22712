// One POP3 request and its reply (UIDL 1) against the local mailbox server,
// once through the blocking client (engine, socket, event loop) and once
// through plain blocking POSIX socket calls on the same server, so that the
// client's own cost per request shows as the difference between the two.
// BM_RoundTripRatio runs the two in alternating turns and gives the ratio.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>

#include "net/posix/poll_event_loop.h"
#include "pop3/sync_pop3_client.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel {
namespace {

test::MailboxPop3Server* NewServer() {
  test::MailboxOptions options;
  options.user = "bench";
  options.password = "bench-pass";
  auto* server = new test::MailboxPop3Server(options);
  server->AddMessage("uid-0001-bench", "From: a\nSubject: b\n\nbody\n");
  return server;
}

// The server serves one connection at a time: the ratio's two loops each
// have their own.
test::MailboxPop3Server& Server() {
  static test::MailboxPop3Server* server = NewServer();
  return *server;
}

test::MailboxPop3Server& SecondServer() {
  static test::MailboxPop3Server* server = NewServer();
  return *server;
}

void BM_UidlSyncRoundTrip(benchmark::State& state) {
  PollEventLoop loop;
  SyncPop3Client client(loop);
  client.SetHost(test::MailboxPop3Server::Host());
  client.SetPort(Server().PortText());
  client.SetUserName("bench");
  client.SetPassWord("bench-pass");
  if (!client.OpenSync()) {
    state.SkipWithError(("login failed: " + client.ErrorMessage()).c_str());
    return;
  }
  client.SetMsgNum(1);
  for (auto _ : state) {
    if (!client.UidlSync()) {
      state.SkipWithError(("UIDL failed: " + client.ErrorMessage()).c_str());
      break;
    }
    benchmark::DoNotOptimize(client.MsgUidl().size());
  }
  client.QuitSync();
}
BENCHMARK(BM_UidlSyncRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

class PlainConnection {
 public:
  explicit PlainConnection(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~PlainConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Ok() const { return ok_; }
  bool Send(const std::string& line) {
    const std::string bytes = line + "\r\n";
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // One reply line, without its line end.
  bool ReadLine(std::string& line) {
    for (;;) {
      const size_t lf = pending_.find('\n');
      if (lf != std::string::npos) {
        line = pending_.substr(0, lf > 0 && pending_[lf - 1] == '\r' ? lf - 1 : lf);
        pending_.erase(0, lf + 1);
        return true;
      }
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::string pending_;
};

void BM_PlainSocketRoundTrip(benchmark::State& state) {
  PlainConnection connection(Server().Port());
  std::string line;
  if (!connection.Ok() || !connection.ReadLine(line) || !connection.Send("USER bench") ||
      !connection.ReadLine(line) || !connection.Send("PASS bench-pass") ||
      !connection.ReadLine(line) || line.rfind("+OK", 0) != 0) {
    state.SkipWithError("login failed");
    return;
  }
  for (auto _ : state) {
    if (!connection.Send("UIDL 1") || !connection.ReadLine(line)) {
      state.SkipWithError("UIDL failed");
      break;
    }
    benchmark::DoNotOptimize(line.size());
  }
  connection.Send("QUIT");
  connection.ReadLine(line);
}
BENCHMARK(BM_PlainSocketRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

double ThreadCpuUs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Both loops in turns of 200 round trips each, so that the load of a shared
// machine falls on both alike; counters: the mean round trip of each, their
// ratio (engine / raw sockets), and the processor time the calling thread
// spent per round trip in each (system calls included), which the machine's
// load hardly changes.
void BM_RoundTripRatio(benchmark::State& state) {
  PollEventLoop loop;
  SyncPop3Client client(loop);
  client.SetHost(test::MailboxPop3Server::Host());
  client.SetPort(Server().PortText());
  client.SetUserName("bench");
  client.SetPassWord("bench-pass");
  PlainConnection connection(SecondServer().Port());
  std::string line;
  if (!client.OpenSync() || !connection.Ok() || !connection.ReadLine(line) ||
      !connection.Send("USER bench") || !connection.ReadLine(line) ||
      !connection.Send("PASS bench-pass") || !connection.ReadLine(line)) {
    state.SkipWithError("login failed");
    return;
  }
  client.SetMsgNum(1);
  constexpr int kTurn = 200;
  using Clock = std::chrono::steady_clock;
  Clock::duration engine{};
  Clock::duration plain{};
  double engineCpu = 0;
  double plainCpu = 0;
  for (auto _ : state) {
    const double cpuStart = ThreadCpuUs();
    auto start = Clock::now();
    for (int i = 0; i < kTurn; ++i) {
      if (!client.UidlSync()) state.SkipWithError("UIDL failed");
    }
    auto middle = Clock::now();
    const double cpuMiddle = ThreadCpuUs();
    for (int i = 0; i < kTurn; ++i) {
      if (!connection.Send("UIDL 1") || !connection.ReadLine(line)) {
        state.SkipWithError("UIDL failed");
      }
    }
    auto end = Clock::now();
    engine += middle - start;
    plain += end - middle;
    engineCpu += cpuMiddle - cpuStart;
    plainCpu += ThreadCpuUs() - cpuMiddle;
  }
  const double rounds = static_cast<double>(state.iterations()) * kTurn;
  const double engineUs = std::chrono::duration<double, std::micro>(engine).count() / rounds;
  const double plainUs = std::chrono::duration<double, std::micro>(plain).count() / rounds;
  state.counters["engine_us"] = engineUs;
  state.counters["plain_us"] = plainUs;
  state.counters["ratio"] = engineUs / plainUs;
  state.counters["engine_cpu_us"] = engineCpu / rounds;
  state.counters["plain_cpu_us"] = plainCpu / rounds;
  client.QuitSync();
  connection.Send("QUIT");
  connection.ReadLine(line);
}
BENCHMARK(BM_RoundTripRatio)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();
