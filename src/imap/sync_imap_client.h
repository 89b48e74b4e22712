// SyncImapClient: the IMAP client as blocking calls, for the checks that run
// inside the check timer's tick. Each call starts one request of the
// event-driven engine and pumps the client's EventLoop until that request
// has ended, so the rest of the program (timers, the window, other
// connections on the loop) keeps running meanwhile. A call returns true when
// the request succeeded; the caller then reads the properties. A request
// that cannot start returns false with the reason in ErrorMessage().
//
// The engine's Timeout() limits the silence between two pieces of an
// answer; LimitTotalTime adds a bound on all the calls of a check together.
//
// Threads: as the engine, the loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "imap/imap_client.h"
#include "net/wait_clock.h"

namespace corvel {

class SyncImapClient : public ImapClient {
 public:
  // A 32-bit millisecond tick count that wraps after about 49.7 days.
  using TickSource = WaitClock::TickSource;

  explicit SyncImapClient(EventLoop& loop);

  // Where the total bound reads the time; TickCount() unless replaced.
  void SetTickSource(TickSource source);
  // A bound on the total time of the blocking calls from now on: once `ms`
  // milliseconds have passed, the running call and every later one end as
  // after a time-out. nullopt lifts it.
  void LimitTotalTime(std::optional<std::uint64_t> ms);

  // Pumps the loop until the running request ends; true when it succeeded.
  // The loop's termination ends it as a time-out. A handler of the loop
  // that raises ends the request (the connection dropped) before the
  // exception goes on.
  [[nodiscard]] bool WaitForRequest();

  [[nodiscard]] bool ConnectSync();
  [[nodiscard]] bool CapabilitySync();
  [[nodiscard]] bool StartTlsSync();
  [[nodiscard]] bool LoginSync(ImapAuthMechanism mechanism);
  [[nodiscard]] bool EnableUtf8Sync();
  [[nodiscard]] bool ListSync(std::string_view pattern);
  [[nodiscard]] bool ExamineSync(std::string_view mailbox);
  [[nodiscard]] bool SearchAllUidsSync();
  [[nodiscard]] bool FetchHeadersSync(const std::vector<std::uint32_t>& uids);
  [[nodiscard]] bool FetchSizesSync(const std::vector<std::uint32_t>& uids);
  [[nodiscard]] bool NoopSync();
  bool LogoutSync();  // often called only to log out, whatever the outcome

 private:
  // Runs the operation, then WaitForRequest; a refusal makes the result
  // false with its text in ErrorMessage.
  bool RunBlocking(const std::function<void()>& operation);

  WaitClock clock_;
};

}  // namespace corvel
