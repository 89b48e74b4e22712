#include "pop3/sync_pop3_client.h"

namespace corvel {

SyncPop3Client::SyncPop3Client(EventLoop& loop) : Pop3Client(loop) {}

void SyncPop3Client::SetTickSource(TickSource source) { clock_.SetTickSource(std::move(source)); }

void SyncPop3Client::LimitTotalTime(std::optional<std::uint64_t> ms) { clock_.LimitTotalTime(ms); }

void SyncPop3Client::RestartDeadline() { deadlineStart_ = clock_.Now(); }

void SyncPop3Client::TriggerResponse(const std::string& line) {
  Pop3Client::TriggerResponse(line);
  if (timeout_ > 0) RestartDeadline();
}

bool SyncPop3Client::WaitForRequest() {
  RestartDeadline();
  timedOutIn_ = Pop3EngineState::pop3Idle;
  totalTimeRanOut_ = false;
  for (;;) {
    if (State() == Pop3EngineState::pop3Idle) return Finished();
    std::uint32_t waitMs = WaitClock::kWaitCeilingMs;
    bool timedOut = Loop().Terminated();
    if (!timedOut && timeout_ > 0) {
      timedOut =
          clock_.Passed(deadlineStart_, static_cast<std::uint64_t>(timeout_) * 1000u, waitMs);
    }
    if (!timedOut && clock_.TotalPassed(waitMs)) {
      timedOut = true;
      totalTimeRanOut_ = true;
    }
    if (timedOut) {
      timedOutIn_ = State();
      Abort();
      SetErrorMessage("426 Timeout");
      SetStatusCode(kPop3Aborted);
      return false;
    }
    Pump(waitMs);
  }
}

void SyncPop3Client::Pump(std::uint32_t waitMs) {
  try {
    Loop().ProcessEvents(waitMs);
  } catch (const std::exception& e) {
    // Any handler of the loop may raise here, not only the client's own.
    // The wait cannot go on, and the request must not stay running.
    FailRunningRequest(e);
    throw;
  } catch (...) {
    FailRequest("-ERR Exception: unknown exception");
    throw;
  }
}

bool SyncPop3Client::Finished() {
  const bool succeeded = RequestSucceeded();
  // A server that refuses and hangs up sends its close right behind the
  // reply; what the loop holds already is run, so that Connected() tells
  // the caller whether the connection is still there.
  if (!succeeded && Connected()) Pump(0);
  return succeeded;
}

bool SyncPop3Client::RunBlocking(Operation operation) {
  timedOutIn_ = Pop3EngineState::pop3Idle;
  totalTimeRanOut_ = false;
  try {
    (this->*operation)();
    return WaitForRequest();
  } catch (...) {
    // The refusal texts that matter to a caller ("-ERR ...") are already in
    // ErrorMessage; the others leave it as it was, and the call just fails.
    return false;
  }
}

bool SyncPop3Client::ConnectSync() { return RunBlocking(&CustomPop3Client::Connect); }
bool SyncPop3Client::OpenSync() { return RunBlocking(&CustomPop3Client::Open); }
bool SyncPop3Client::UserSync() { return RunBlocking(&CustomPop3Client::User); }
bool SyncPop3Client::PassSync() { return RunBlocking(&CustomPop3Client::Pass); }
bool SyncPop3Client::RPopSync() { return RunBlocking(&CustomPop3Client::RPop); }
bool SyncPop3Client::APopSync() { return RunBlocking(&CustomPop3Client::APop); }
bool SyncPop3Client::AuthSync() { return RunBlocking(&CustomPop3Client::Auth); }
bool SyncPop3Client::QuitSync() { return RunBlocking(&CustomPop3Client::Quit); }
bool SyncPop3Client::StatSync() { return RunBlocking(&CustomPop3Client::Stat); }
bool SyncPop3Client::ListSync() { return RunBlocking(&CustomPop3Client::List); }
bool SyncPop3Client::RetrSync() { return RunBlocking(&CustomPop3Client::Retr); }
bool SyncPop3Client::TopSync() { return RunBlocking(&CustomPop3Client::Top); }
bool SyncPop3Client::DeleSync() { return RunBlocking(&CustomPop3Client::Dele); }
bool SyncPop3Client::NoopSync() { return RunBlocking(&CustomPop3Client::Noop); }
bool SyncPop3Client::LastSync() { return RunBlocking(&CustomPop3Client::Last); }
bool SyncPop3Client::RSetSync() { return RunBlocking(&CustomPop3Client::RSet); }
bool SyncPop3Client::UidlSync() { return RunBlocking(&CustomPop3Client::Uidl); }
bool SyncPop3Client::StlsSync() { return RunBlocking(&CustomPop3Client::Stls); }
bool SyncPop3Client::AbortSync() { return RunBlocking(&CustomPop3Client::Abort); }
bool SyncPop3Client::CapaSync() { return RunBlocking(&CustomPop3Client::Capa); }

void SyncPop3Client::RequestEnded() {
  if (pipelineAnswered_) pipelineAnswered_(RequestSucceeded());
}

bool SyncPop3Client::PipelineSync(std::size_t count, const std::function<void(std::size_t)>& start,
                                  const std::function<void(std::size_t, bool)>& answered) {
  timedOutIn_ = Pop3EngineState::pop3Idle;
  totalTimeRanOut_ = false;
  bool allSucceeded = true;
  std::size_t ended = 0;
  pipelineAnswered_ = [&](bool succeeded) {
    allSucceeded = allSucceeded && succeeded;
    answered(ended++, succeeded);
  };
  struct Restore {
    SyncPop3Client& client;
    ~Restore() {
      client.SetQueueRequests(false);
      client.pipelineAnswered_ = nullptr;
    }
  } restore{*this};
  SetQueueRequests(true);
  std::size_t started = 0;
  try {
    for (; started < count; ++started) start(started);
  } catch (...) {
    // The refusal's "-ERR " text, if any, is in ErrorMessage; what has
    // started is still waited for.
    allSucceeded = false;
  }
  SetQueueRequests(false);
  if (started == 0) return count == 0;
  try {
    return WaitForRequest() && allSucceeded;
  } catch (...) {
    return false;
  }
}

}  // namespace corvel
