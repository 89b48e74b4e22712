#include "delay_proxy/delay_proxy.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pop3_server/plain_socket.h"

#ifndef _WIN32
#include <netinet/tcp.h>
#endif

namespace corvel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64 * 1024;

constexpr int kConnectTimeoutMs = 5000;

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// A connection to 127.0.0.1:`port`, or -1.
int ConnectLoopback(std::uint16_t port) {
  const int fd = plain::Open(SOCK_STREAM);
  if (fd < 0) return -1;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    // A socket that does not block connects in the background.
#ifdef _WIN32
    const bool pending = plain::LastError() == WSAEWOULDBLOCK;
#else
    const bool pending = plain::LastError() == EINPROGRESS;
#endif
    if (!pending) {
      plain::Close(fd);
      return -1;
    }
    pollfd wait{static_cast<decltype(pollfd::fd)>(fd), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (plain::Poll(&wait, 1, kConnectTimeoutMs) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
      plain::Close(fd);
      return -1;
    }
  }
  SetNoDelay(fd);
  return fd;
}

// Bytes read from one side, to be written to the other once due.
struct Piece {
  Clock::time_point due;
  std::string bytes;
  std::size_t written = 0;
};

// One direction of a connection.
struct Flow {
  int from = -1;
  int to = -1;
  std::deque<Piece> pieces;
  std::size_t held = 0;
  bool ended = false;     // `from` has no more to send
  bool shutDown = false;  // the end has been passed on to `to`
};

struct Link {
  Flow up;    // client to server
  Flow down;  // server to client
  bool broken = false;
  ~Link() {
    plain::Close(up.from);
    plain::Close(up.to);
  }
};

// Writes what is due; false when the connection broke.
bool Deliver(Flow& flow, Clock::time_point now) {
  while (!flow.pieces.empty() && flow.pieces.front().due <= now) {
    Piece& piece = flow.pieces.front();
    const int n = plain::Send(flow.to, piece.bytes.data() + piece.written,
                              piece.bytes.size() - piece.written);
    if (n < 0) return plain::WouldBlock(plain::LastError());
    piece.written += static_cast<std::size_t>(n);
    if (piece.written < piece.bytes.size()) return true;  // the rest when writable
    flow.held -= piece.bytes.size();
    flow.pieces.pop_front();
  }
  if (flow.pieces.empty() && flow.ended && !flow.shutDown) {
    plain::ShutdownSend(flow.to);
    flow.shutDown = true;
  }
  return true;
}

// Reads what `from` has sent and holds it for half the round trip.
void Take(Flow& flow, Clock::time_point now, Clock::duration halfTrip) {
  std::string bytes(kReadChunk, '\0');
  const int n = plain::Receive(flow.from, bytes.data(), bytes.size());
  if (n < 0 && plain::WouldBlock(plain::LastError())) return;
  if (n <= 0) {  // closed, or reset: either way nothing more comes
    flow.ended = true;
    return;
  }
  bytes.resize(static_cast<std::size_t>(n));
  flow.held += bytes.size();
  flow.pieces.push_back(Piece{now + halfTrip, std::move(bytes)});
}

}  // namespace

DelayProxy::DelayProxy(std::uint16_t targetPort, DelayProxyOptions options)
    : targetPort_(targetPort), options_(options) {
  listener_ = plain::Open(SOCK_STREAM);
  const long port = listener_ < 0 ? -1 : plain::BindLoopback(listener_);
  if (port < 0 || ::listen(listener_, 16) != 0) {
    if (listener_ >= 0) plain::Close(listener_);
    throw std::runtime_error("delay proxy: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(static_cast<std::uint16_t>(port));
  thread_ = std::thread([this] { Run(); });
}

DelayProxy::~DelayProxy() {
  stop_.Raise();
  thread_.join();
  plain::Close(listener_);
}

void DelayProxy::Run() {
  const auto halfTrip = std::chrono::duration_cast<Clock::duration>(options_.roundTrip) / 2;
  const auto end = Clock::now() + options_.lifetime;
  std::vector<std::unique_ptr<Link>> links;
  using Fd = decltype(pollfd::fd);
  std::vector<pollfd> fds;
  std::vector<Flow*> readers;  // beside fds: the flow an entry reads for, if any
  for (;;) {
    auto now = Clock::now();
    if (now >= end) return;
    for (auto& link : links) {
      if (!Deliver(link->up, now) || !Deliver(link->down, now)) link->broken = true;
    }
    std::erase_if(links, [](const std::unique_ptr<Link>& link) {
      return link->broken || (link->up.shutDown && link->down.shutDown);
    });

    // What to wait for, and until when.
    Clock::time_point wake = std::min(end, now + std::chrono::seconds(1));
    fds.clear();
    readers.clear();
    fds.push_back({static_cast<Fd>(stop_.Fd()), POLLIN, 0});
    fds.push_back({static_cast<Fd>(listener_),
                   static_cast<short>(links.size() < options_.maxConnections ? POLLIN : 0), 0});
    readers.resize(2, nullptr);
    for (auto& link : links) {
      for (Flow* flow : {&link->up, &link->down}) {
        if (!flow->ended && flow->held < options_.maxBufferedBytes) {
          fds.push_back({static_cast<Fd>(flow->from), POLLIN, 0});
          readers.push_back(flow);
        }
        if (!flow->pieces.empty()) {
          if (flow->pieces.front().due <= now) {
            fds.push_back({static_cast<Fd>(flow->to), POLLOUT, 0});  // a write waits for room
            readers.push_back(nullptr);
          } else {
            wake = std::min(wake, flow->pieces.front().due);
          }
        }
      }
    }
    const auto waitMs =
        std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - now, Clock::duration::zero()));
    if (plain::Poll(fds.data(), fds.size(), static_cast<int>(waitMs.count())) < 0 &&
        !plain::WouldBlock(plain::LastError())) {
      return;
    }
    if (stop_.Raised()) return;
    now = Clock::now();

    if ((fds[1].revents & POLLIN) != 0) {
      const int client = plain::Accept(listener_);
      if (client >= 0) {
        const int server = ConnectLoopback(targetPort_);
        if (server >= 0) {
          SetNoDelay(client);
          auto link = std::make_unique<Link>();
          link->up.from = link->down.to = client;
          link->up.to = link->down.from = server;
          links.push_back(std::move(link));
        } else {
          plain::Close(client);
        }
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (readers[i] != nullptr && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        Take(*readers[i], now, halfTrip);
      }
    }
  }
}

}  // namespace corvel::test
