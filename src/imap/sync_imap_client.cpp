#include "imap/sync_imap_client.h"

namespace corvel {

SyncImapClient::SyncImapClient(EventLoop& loop) : ImapClient(loop) {}

void SyncImapClient::SetTickSource(TickSource source) { clock_.SetTickSource(std::move(source)); }

void SyncImapClient::LimitTotalTime(std::optional<std::uint64_t> ms) { clock_.LimitTotalTime(ms); }

bool SyncImapClient::WaitForRequest() {
  while (Busy()) {
    std::uint32_t waitMs = WaitClock::kWaitCeilingMs;
    const bool timedOut = Loop().Terminated() || clock_.TotalPassed(waitMs);
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
