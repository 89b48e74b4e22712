#include "pop3/sync_pop3_client.h"

#include <algorithm>

#include "net/tick_count.h"

namespace corvel {
namespace {

constexpr std::uint32_t kWaitCeilingMs = 1000;

}  // namespace

SyncPop3Client::SyncPop3Client(EventLoop& loop) : Pop3Client(loop), tickSource_(&TickCount) {}

void SyncPop3Client::SetTickSource(TickSource source) {
  tickSource_ = source ? std::move(source) : TickSource(&TickCount);
}

void SyncPop3Client::LimitTotalTime(std::optional<std::uint64_t> ms) {
  totalStart_ = tickSource_();
  totalLimitMs_ = ms;
}

void SyncPop3Client::RestartDeadline() { deadlineStart_ = tickSource_(); }

void SyncPop3Client::TriggerResponse(const std::string& line) {
  Pop3Client::TriggerResponse(line);
  if (timeout_ > 0) RestartDeadline();
}

bool SyncPop3Client::WaitForRequest() {
  RestartDeadline();
  for (;;) {
    if (State() == Pop3EngineState::pop3Idle) return Succeeded();
    std::uint32_t waitMs = kWaitCeilingMs;
    bool timedOut = Loop().Terminated();
    if (!timedOut && timeout_ > 0) {
      const std::uint64_t limitMs = static_cast<std::uint64_t>(timeout_) * 1000u;
      // Unsigned difference: correct across the wrap of the tick count.
      const std::uint32_t elapsedMs = tickSource_() - deadlineStart_;
      if (elapsedMs >= limitMs) {
        timedOut = true;
      } else {
        waitMs = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(kWaitCeilingMs, limitMs - elapsedMs));
      }
    }
    if (!timedOut && totalLimitMs_) {
      const std::uint32_t spentMs = tickSource_() - totalStart_;
      if (spentMs >= *totalLimitMs_) {
        timedOut = true;
      } else {
        waitMs =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(waitMs, *totalLimitMs_ - spentMs));
      }
    }
    if (timedOut) {
      Abort();
      SetErrorMessage("426 Timeout");
      SetStatusCode(kPop3Aborted);
      return false;
    }
    Loop().ProcessEvents(waitMs);
  }
}

bool SyncPop3Client::Succeeded() const {
  // A request that the server's close ended, before its reply or in the
  // middle of its answer, did not succeed, even though no reply said so:
  // a login that is simply dropped is no login, and a cut-off TOP is no
  // header. QUIT alone ends with the close by design.
  if (FinishedError() == kPop3ConnectionClosed && RequestType() != Pop3Request::pop3Quit) {
    return false;
  }
  return RequestResult() == 0;
}

bool SyncPop3Client::RunBlocking(Operation operation) {
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

}  // namespace corvel
