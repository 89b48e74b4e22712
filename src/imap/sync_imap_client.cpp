#include "imap/sync_imap_client.h"

#include <algorithm>

#include "net/tick_count.h"

namespace corvel {
namespace {

// The wait sleeps in the loop at most this long at a time, so the total
// bound and the loop's termination are looked at now and then.
constexpr std::uint32_t kWaitCeilingMs = 1000;

}  // namespace

SyncImapClient::SyncImapClient(EventLoop& loop) : ImapClient(loop), tickSource_(&TickCount) {}

void SyncImapClient::SetTickSource(TickSource source) {
  tickSource_ = source ? std::move(source) : TickSource(&TickCount);
}

void SyncImapClient::LimitTotalTime(std::optional<std::uint64_t> ms) {
  totalStart_ = tickSource_();
  totalLimitMs_ = ms;
}

bool SyncImapClient::WaitForRequest() {
  while (Busy()) {
    std::uint32_t waitMs = kWaitCeilingMs;
    bool timedOut = Loop().Terminated();
    if (!timedOut && totalLimitMs_) {
      // Unsigned difference: right across the wrap of the tick count.
      const std::uint32_t spentMs = tickSource_() - totalStart_;
      if (spentMs >= *totalLimitMs_) {
        timedOut = true;
      } else {
        waitMs =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(waitMs, *totalLimitMs_ - spentMs));
      }
    }
    if (timedOut) {
      TimedOut();
      break;
    }
    try {
      Loop().ProcessEvents(waitMs);
    } catch (...) {
      // Any handler of the loop may raise here; the request must not stay
      // running behind the exception.
      TimedOut();
      throw;
    }
  }
  return RequestSucceeded();
}

bool SyncImapClient::RunBlocking(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const std::exception& e) {
    NoteRefusal(e.what());
    return false;
  }
  try {
    return WaitForRequest();
  } catch (...) {
    return false;
  }
}

bool SyncImapClient::ConnectSync() {
  return RunBlocking([this] { Connect(); });
}
bool SyncImapClient::CapabilitySync() {
  return RunBlocking([this] { Capability(); });
}
bool SyncImapClient::StartTlsSync() {
  return RunBlocking([this] { StartTls(); });
}
bool SyncImapClient::LoginSync(ImapAuthMechanism mechanism) {
  return RunBlocking([this, mechanism] { Login(mechanism); });
}
bool SyncImapClient::EnableUtf8Sync() {
  return RunBlocking([this] { EnableUtf8(); });
}
bool SyncImapClient::ListSync(std::string_view pattern) {
  return RunBlocking([this, pattern] { List(pattern); });
}
bool SyncImapClient::ExamineSync(std::string_view mailbox) {
  return RunBlocking([this, mailbox] { Examine(mailbox); });
}
bool SyncImapClient::SearchAllUidsSync() {
  return RunBlocking([this] { SearchAllUids(); });
}
bool SyncImapClient::FetchHeadersSync(const std::vector<std::uint32_t>& uids) {
  return RunBlocking([this, &uids] { FetchHeaders(uids); });
}
bool SyncImapClient::FetchSizesSync(const std::vector<std::uint32_t>& uids) {
  return RunBlocking([this, &uids] { FetchSizes(uids); });
}
bool SyncImapClient::NoopSync() {
  return RunBlocking([this] { Noop(); });
}
bool SyncImapClient::LogoutSync() {
  return RunBlocking([this] { Logout(); });
}

}  // namespace corvel
