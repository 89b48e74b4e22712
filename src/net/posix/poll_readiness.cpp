#include "net/posix/poll_readiness.h"

#include <poll.h>

namespace corvel {
namespace {

#ifdef POLLRDHUP
constexpr short kPeerClosed = POLLRDHUP;
#else
constexpr short kPeerClosed = 0;
#endif

}  // namespace

bool PollTellsPeerClose() { return kPeerClosed != 0; }

short ToPollEvents(unsigned interest) {
  short events = kPeerClosed;
  if ((interest & EventLoop::kIoReadable) != 0) events |= POLLIN;
  if ((interest & EventLoop::kIoWritable) != 0) events |= POLLOUT;
  return events;
}

unsigned ToIoEvents(short revents) {
  unsigned ready = 0;
  if ((revents & POLLIN) != 0) ready |= EventLoop::kIoReadable;
  if ((revents & POLLOUT) != 0) ready |= EventLoop::kIoWritable;
  if ((revents & (POLLHUP | kPeerClosed)) != 0) ready |= EventLoop::kIoHangup;
  if ((revents & POLLERR) != 0) ready |= EventLoop::kIoError;
  return ready;
}

unsigned ReadyNow(SocketHandle socket, unsigned interest) {
  pollfd fd{static_cast<int>(socket), ToPollEvents(interest), 0};
  if (::poll(&fd, 1, 0) <= 0 || (fd.revents & POLLNVAL) != 0) return 0;
  return ToIoEvents(fd.revents);
}

}  // namespace corvel
