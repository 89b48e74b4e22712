// The event loop a program of this platform runs on, for tests that need a
// real one: poll() on POSIX systems, the thread's message queue on Windows.
#pragma once

#ifdef _WIN32
#include "net/win32/event_loop.h"
#else
#include "net/posix/poll_event_loop.h"
#endif

namespace corvel::test {

#ifdef _WIN32
using SystemEventLoop = MessageEventLoop;
#else
using SystemEventLoop = PollEventLoop;
#endif

}  // namespace corvel::test
