// Between poll() and the EventLoop's readiness bits, for the loops that
// watch sockets with poll() or look again just before a handler runs.
#pragma once

#include "net/event_loop.h"

namespace corvel {

// The poll() events that watch for `interest` (EventLoop::IoEvent bits); the
// peer's close is always asked for where poll() can tell it.
[[nodiscard]] short ToPollEvents(unsigned interest);
// The EventLoop bits of poll()'s answer.
[[nodiscard]] unsigned ToIoEvents(short revents);
// Whether poll() tells a peer's close apart from readable data.
[[nodiscard]] bool PollTellsPeerClose();
// The socket's readiness for `interest` now, without waiting; 0 when none
// or the handle is not open.
[[nodiscard]] unsigned ReadyNow(SocketHandle socket, unsigned interest);

}  // namespace corvel
