#include "delay_proxy/delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace corvel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 64 * 1024;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void SetNoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
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
    close(up.from);
    close(up.to);
  }
};

// Writes what is due; false when the connection broke.
bool Deliver(Flow& flow, Clock::time_point now) {
  while (!flow.pieces.empty() && flow.pieces.front().due <= now) {
    Piece& piece = flow.pieces.front();
    const ssize_t n = send(flow.to, piece.bytes.data() + piece.written,
                           piece.bytes.size() - piece.written, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    piece.written += static_cast<std::size_t>(n);
    if (piece.written < piece.bytes.size()) return true;  // the rest when writable
    flow.held -= piece.bytes.size();
    flow.pieces.pop_front();
  }
  if (flow.pieces.empty() && flow.ended && !flow.shutDown) {
    shutdown(flow.to, SHUT_WR);
    flow.shutDown = true;
  }
  return true;
}

// Reads what `from` has sent and holds it for half the round trip.
void Take(Flow& flow, Clock::time_point now, Clock::duration halfTrip) {
  std::string bytes(kReadChunk, '\0');
  const ssize_t n = recv(flow.from, bytes.data(), bytes.size(), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
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
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    const int error = errno;
    if (listener_ >= 0) close(listener_);
    throw std::system_error(error, std::generic_category(), "delay proxy");
  }
  port_ = ntohs(address.sin_port);
  SetNonBlocking(listener_);
  thread_ = std::thread([this] { Run(); });
}

DelayProxy::~DelayProxy() {
  const char stop = 1;
  (void)!write(stopPipe_[1], &stop, 1);
  thread_.join();
  close(listener_);
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

void DelayProxy::Run() {
  const auto halfTrip = std::chrono::duration_cast<Clock::duration>(options_.roundTrip) / 2;
  const auto end = Clock::now() + options_.lifetime;
  std::vector<std::unique_ptr<Link>> links;
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
    fds.push_back({stopPipe_[0], POLLIN, 0});
    fds.push_back(
        {listener_, static_cast<short>(links.size() < options_.maxConnections ? POLLIN : 0), 0});
    readers.resize(2, nullptr);
    for (auto& link : links) {
      for (Flow* flow : {&link->up, &link->down}) {
        if (!flow->ended && flow->held < options_.maxBufferedBytes) {
          fds.push_back({flow->from, POLLIN, 0});
          readers.push_back(flow);
        }
        if (!flow->pieces.empty()) {
          if (flow->pieces.front().due <= now) {
            fds.push_back({flow->to, POLLOUT, 0});  // a write is waiting for room
            readers.push_back(nullptr);
          } else {
            wake = std::min(wake, flow->pieces.front().due);
          }
        }
      }
    }
    const auto waitMs =
        std::chrono::ceil<std::chrono::milliseconds>(std::max(wake - now, Clock::duration::zero()));
    if (poll(fds.data(), fds.size(), static_cast<int>(waitMs.count())) < 0 && errno != EINTR) {
      return;
    }
    if (fds[0].revents != 0) return;
    now = Clock::now();

    if ((fds[1].revents & POLLIN) != 0) {
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = Loopback(targetPort_);
        if (server >= 0 &&
            connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
          for (int fd : {client, server}) {
            SetNonBlocking(fd);
            SetNoDelay(fd);
          }
          auto link = std::make_unique<Link>();
          link->up.from = link->down.to = client;
          link->up.to = link->down.from = server;
          links.push_back(std::move(link));
        } else {
          close(client);
          if (server >= 0) close(server);
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
