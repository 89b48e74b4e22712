// SyncPop3Client: the POP3 client as blocking calls. Each call starts one
// request of the event-driven engine and pumps the client's EventLoop until
// that request has ended, so the rest of the program (timers, the window)
// keeps running meanwhile. The call returns true when the request ended with
// RequestResult 0; the caller then reads the properties.
//
// Timeout limits the silence between two lines, not the length of a request:
// every line received restarts it. The wait sleeps in the event loop with a
// ceiling of 1000 ms, so a silent server costs no CPU.
//
// Threads: as the engine, the loop thread only. A call may be made from an
// event handler of the same loop (the loop is re-entrant); another operation
// started on this client while a call waits is refused ("POP3 component not
// ready").
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "net/wait_clock.h"
#include "pop3/pop3_client.h"

namespace corvel {

class SyncPop3Client : public Pop3Client {
 public:
  // A 32-bit millisecond tick count that wraps after about 49.7 days.
  using TickSource = WaitClock::TickSource;

  explicit SyncPop3Client(EventLoop& loop);

  // Seconds a blocking call may go without receiving a line; 0 or less: no
  // limit (the call then ends only with the request or the loop's
  // termination).
  [[nodiscard]] std::int32_t Timeout() const { return timeout_; }
  void SetTimeout(std::int32_t seconds) { timeout_ = seconds; }
  // Kept for callers that set it. With an EventLoop there is one pump for
  // every thread, so both values wait the same way.
  [[nodiscard]] bool MultiThreaded() const { return multiThreaded_; }
  void SetMultiThreaded(bool value) { multiThreaded_ = value; }
  // Where the wait reads the time; TickCount() unless replaced (tests put
  // the clock near its wrap).
  void SetTickSource(TickSource source);
  // A bound on the total time of the blocking calls, counted from this call
  // on, besides Timeout: once `ms` milliseconds have passed, the running call
  // and every later one end as after a time-out ("426 Timeout", the
  // connection aborted). nullopt lifts it.
  void LimitTotalTime(std::optional<std::uint64_t> ms);

  // Waits for the running request: true when it succeeded
  // (RequestSucceeded); false when it failed, when the server's close ended
  // it (QUIT excepted), or after Timeout seconds without a line or the
  // loop's termination, which abort it with "426 Timeout". After a failure,
  // a close that has already arrived is taken in before the call returns,
  // so Connected() is up to date. A handler that raises inside the wait ends
  // the request as failed before the exception goes on.
  [[nodiscard]] virtual bool WaitForRequest();
  // The engine state the last wait was in when its time ran out (or the loop
  // was terminated): pop3WaitingGreeting tells a server that accepted the
  // connection and never greeted from one that was never reached. pop3Idle
  // when the last wait did not time out.
  [[nodiscard]] Pop3EngineState TimedOutIn() const { return timedOutIn_; }
  // Whether the last wait ended because the time LimitTotalTime allows had
  // passed (rather than Timeout seconds of silence).
  [[nodiscard]] bool TotalTimeRanOut() const { return totalTimeRanOut_; }
  // The bound LimitTotalTime set, if any.
  [[nodiscard]] std::optional<std::uint64_t> TotalTimeLimit() const {
    return clock_.TotalTimeLimit();
  }

  [[nodiscard]] bool ConnectSync();
  [[nodiscard]] bool OpenSync();
  [[nodiscard]] bool UserSync();
  [[nodiscard]] bool PassSync();
  [[nodiscard]] bool RPopSync();
  [[nodiscard]] bool APopSync();
  [[nodiscard]] bool AuthSync();
  bool QuitSync();  // often called only to log out, whatever the outcome
  [[nodiscard]] bool StatSync();
  [[nodiscard]] bool ListSync();
  [[nodiscard]] bool RetrSync();
  [[nodiscard]] bool TopSync();
  [[nodiscard]] bool DeleSync();
  [[nodiscard]] bool NoopSync();
  [[nodiscard]] bool LastSync();
  [[nodiscard]] bool RSetSync();
  [[nodiscard]] bool UidlSync();
  // STLS and the TLS handshake after it; Timeout also bounds the handshake.
  [[nodiscard]] bool StlsSync();
  bool AbortSync();
  [[nodiscard]] bool CapaSync();

  // Runs `count` transaction requests queued behind each other
  // (QueueRequests), their commands sent ahead of the answers: start(i)
  // starts the i-th (it sets the properties its operation reads and calls
  // the operation, Top() say); answered(i, succeeded) runs as the i-th ends,
  // in order, while the properties hold its answer. Returns once all that
  // started have ended: true when every one of them started and succeeded.
  // A request that cannot start (a refusal) ends the starting; time-outs are
  // as for the other calls, every line restarting the time allowed.
  bool PipelineSync(std::size_t count, const std::function<void(std::size_t)>& start,
                    const std::function<void(std::size_t, bool)>& answered);

 protected:
  // Every line received restarts the time allowed.
  void TriggerResponse(const std::string& line) override;
  void RequestEnded() override;

 private:
  using Operation = void (CustomPop3Client::*)();
  // Runs the operation, then WaitForRequest; an exception from either makes
  // the result false and goes no further (a refusal's "-ERR " text is already
  // in ErrorMessage).
  bool RunBlocking(Operation operation);
  // Runs what the loop has for up to waitMs. Should a handler raise, the
  // running request ends as failed (the connection dropped) before the
  // exception goes on, so the client is never left "not ready".
  void Pump(std::uint32_t waitMs);
  // The outcome of the request that has just ended (RequestSucceeded).
  bool Finished();
  void RestartDeadline();

  std::int32_t timeout_ = 15;
  bool multiThreaded_ = false;
  // The tick source and the bound LimitTotalTime set.
  WaitClock clock_;
  // The tick at which the time allowed last started; the deadline is
  // deadlineStart_ + Timeout * 1000, compared as an unsigned difference so
  // that the tick count's wrap never cuts a request short.
  std::uint32_t deadlineStart_ = 0;
  Pop3EngineState timedOutIn_ = Pop3EngineState::pop3Idle;
  bool totalTimeRanOut_ = false;
  // The running PipelineSync's: told of each request's end.
  std::function<void(bool succeeded)> pipelineAnswered_;
};

}  // namespace corvel
