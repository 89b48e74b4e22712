#include "imap/imap_watcher.h"

#include <algorithm>
#include <utility>

#include "net/socket_errors.h"

namespace corvel {

ImapWatcher::ImapWatcher(EventLoop& loop, ImapWatchSettings settings)
    : loop_(loop), settings_(std::move(settings)), client_(loop), alive_(std::make_shared<int>(0)) {
  client_.OnRequestDone = [this](ImapRequest request, std::uint16_t error) {
    RequestDone(request, error);
  };
  client_.OnExists = [this](std::uint32_t /*exists*/) {
    // The count the mailbox opens with is no news; every later one is, also
    // one that comes with the go-ahead of the IDLE, before its report.
    if (client_.ProtocolState() == ImapProtocolState::imapSelected &&
        (phase_ == Phase::kOpening || phase_ == Phase::kIdling || phase_ == Phase::kRenewing) &&
        OnNewMail) {
      OnNewMail();
    }
  };
  client_.OnStateChange = [this] {
    // The server ended the IDLE by itself (some do after a while): idle
    // again, from the loop rather than from inside the client's handler.
    if (phase_ != Phase::kIdling || client_.State() != ImapEngineState::imapReady ||
        !client_.Connected() || client_.Busy()) {
      return;
    }
    std::weak_ptr<int> token = alive_;
    loop_.Post([this, token] {
      if (!token.expired() && phase_ == Phase::kIdling && !client_.Busy() &&
          client_.State() == ImapEngineState::imapReady) {
        StartIdle();
      }
    });
  };
  client_.OnSessionClosed = [this](std::uint16_t errCode) {
    if (phase_ != Phase::kIdling && phase_ != Phase::kRenewing && phase_ != Phase::kOpening) {
      return;
    }
    // A request that failed (a time-out) says why better than the close.
    if (!client_.Busy() && client_.RequestResult() != 0 && !client_.ErrorMessage().empty()) {
      return Fail(client_.ErrorMessage());
    }
    Fail(errCode == 0 || errCode == kImapConnectionClosed ? "the connection was closed"
                                                          : SocketErrorText(errCode));
  };
  client_.OnDisplay = [this](const std::string& line) {
    if (OnDisplay) OnDisplay(line);
  };
}

ImapWatcher::~ImapWatcher() {
  alive_.reset();
  StopTimer();
  client_.OnRequestDone = nullptr;
  client_.OnExists = nullptr;
  client_.OnStateChange = nullptr;
  client_.OnSessionClosed = nullptr;
  client_.OnDisplay = nullptr;
}

void ImapWatcher::SetPhase(Phase phase) { phase_ = phase; }

void ImapWatcher::StopTimer() {
  if (timer_ == 0) return;
  loop_.StopTimer(timer_);
  timer_ = 0;
}

void ImapWatcher::Start() {
  if (phase_ != Phase::kStopped) return;
  retryMs_ = 0;
  SetPhase(Phase::kOpening);
  // From the loop: the secret may take a while, and the caller may be in
  // the middle of something.
  std::weak_ptr<int> token = alive_;
  loop_.Post([this, token] {
    if (!token.expired() && phase_ == Phase::kOpening && !client_.Connected()) Open();
  });
}

void ImapWatcher::Stop() {
  StopTimer();
  SetPhase(Phase::kStopped);
  client_.Abort();
}

void ImapWatcher::Open() {
  StopTimer();
  SetPhase(Phase::kOpening);
  told_ = false;
  std::string why;
  std::weak_ptr<int> token = alive_;
  // Fetching a token may keep the loop running meanwhile; the watcher may
  // have been stopped by then.
  const std::optional<std::string> secret = OnSecret ? OnSecret(why) : std::string();
  if (token.expired() || phase_ != Phase::kOpening) return;
  if (!secret) return Fail(why);
  client_.SetHost(settings_.host);
  client_.SetPort(settings_.port);
  client_.SetTlsMode(settings_.tlsMode);
  client_.SetTlsHostName("");
  client_.SetUserName(settings_.user);
  client_.SetPassWord(*secret);
  client_.SetTimeout(settings_.timeoutSeconds);
  try {
    client_.Connect();
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}

void ImapWatcher::RequestDone(ImapRequest request, std::uint16_t error) {
  // A report of a connection given up already changes nothing.
  if (phase_ != Phase::kOpening && phase_ != Phase::kIdling && phase_ != Phase::kRenewing) return;
  if (error != 0) {
    if (request == ImapRequest::imapLogin && error == kImapRefused && OnLoginRefused) {
      OnLoginRefused();
    }
    std::string why = client_.ErrorMessage();
    if (why.empty()) why = SocketErrorText(error);
    return Fail(why);
  }
  try {
    switch (request) {
      case ImapRequest::imapConnect:
        if (settings_.startTls) return client_.StartTls();
        [[fallthrough]];
      case ImapRequest::imapStartTls:
        return client_.Login(settings_.mechanism);
      case ImapRequest::imapLogin:
        return client_.Examine(settings_.mailbox);
      case ImapRequest::imapExamine:
        if (!client_.HasCapability("IDLE")) {
          SetPhase(Phase::kUnsupported);
          if (OnLog) {
            OnLog("The server offers no IDLE: " + settings_.mailbox +
                  " is checked at the account's interval");
          }
          client_.Logout();
          return;
        }
        return StartIdle();
      case ImapRequest::imapIdle: {
        SetPhase(Phase::kIdling);
        const bool reopened = retryMs_ > 0;
        retryMs_ = 0;
        if (!told_) {
          told_ = true;
          if (OnLog) OnLog("Waiting for new mail in " + settings_.mailbox + " (IDLE)");
          // What came while the connection was down is looked for now.
          if (reopened && OnNewMail) OnNewMail();
        }
        std::weak_ptr<int> token = alive_;
        StopTimer();
        timer_ = loop_.StartTimer(settings_.renewMs, [this, token] {
          if (!token.expired()) Renew();
        });
        return;
      }
      case ImapRequest::imapDone:
        // Some servers tell of news only when asked.
        return client_.Noop();
      case ImapRequest::imapNoop:
        return StartIdle();
      default:
        return;
    }
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}

void ImapWatcher::StartIdle() {
  try {
    client_.Idle();
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}

void ImapWatcher::Renew() {
  StopTimer();
  if (phase_ != Phase::kIdling) return;
  SetPhase(Phase::kRenewing);
  try {
    if (client_.State() == ImapEngineState::imapIdling) {
      client_.Done();
    } else {
      client_.Noop();
    }
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}

void ImapWatcher::Fail(const std::string& why) {
  if (phase_ == Phase::kStopped || phase_ == Phase::kWaiting || phase_ == Phase::kUnsupported) {
    return;
  }
  StopTimer();
  // Waiting before the connection goes: its close reports nothing more.
  SetPhase(Phase::kWaiting);
  client_.Abort();
  retryMs_ = retryMs_ == 0 ? settings_.firstRetryMs
                           : std::min(retryMs_ * 2, std::max(settings_.longestRetryMs, 1u));
  if (OnLog) {
    OnLog("IDLE in " + settings_.mailbox + " stopped (" + why + "); trying again in " +
          std::to_string((retryMs_ + 999) / 1000) + " s");
  }
  RetryLater();
}

void ImapWatcher::RetryLater() {
  std::weak_ptr<int> token = alive_;
  timer_ = loop_.StartTimer(retryMs_, [this, token] {
    if (token.expired()) return;
    StopTimer();
    if (phase_ == Phase::kWaiting) Open();
  });
}

}  // namespace corvel
