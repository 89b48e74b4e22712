// ImapWatcher: one mailbox of one account kept in IDLE (RFC 2177), on the
// event loop, never in a blocking wait. It connects, logs in, opens the
// mailbox read-only (EXAMINE), and idles; whenever the server tells of a
// change in the number of messages (EXISTS) it says so through OnNewMail,
// and the owner checks the account through the normal check cycle.
//
// Servers drop connections that idle too long (RFC 2177 allows 29 minutes;
// many do it well before), and some report news only when the client speaks:
// the IDLE is renewed every RenewMs (9 minutes) with DONE, NOOP and IDLE
// again. A server that answers neither DONE nor NOOP within the time-out, or
// a connection that drops (with or without a BYE), is reopened after a pause
// that doubles from 1 s up to the account's interval. A server that does not
// announce IDLE is left alone: the account's interval polls it.
//
// Threads: the loop thread only; every event runs there.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "imap/imap_client.h"

namespace corvel {

struct ImapWatchSettings {
  std::string host;
  std::string port;
  SocketTlsMode tlsMode = SocketTlsMode::tlsOff;
  bool startTls = false;
  std::string user;
  ImapAuthMechanism mechanism = ImapAuthMechanism::imapAuthLogin;
  std::string mailbox = "INBOX";
  // Seconds a request may wait for the server.
  std::int32_t timeoutSeconds = 15;
  std::uint32_t renewMs = 9 * 60 * 1000;
  // The first pause before a connection is made again, and the longest.
  std::uint32_t firstRetryMs = 1000;
  std::uint32_t longestRetryMs = 300 * 1000;

  friend bool operator==(const ImapWatchSettings&, const ImapWatchSettings&) = default;
};

class ImapWatcher {
 public:
  enum class Phase {
    kStopped,
    kOpening,      // connecting, logging in, opening the mailbox
    kIdling,       // in IDLE, waiting for news
    kRenewing,     // DONE, NOOP, and IDLE again
    kWaiting,      // the connection failed: waiting to make it again
    kUnsupported,  // the server offers no IDLE: nothing more is done
  };

  ImapWatcher(EventLoop& loop, ImapWatchSettings settings);
  ~ImapWatcher();
  ImapWatcher(const ImapWatcher&) = delete;
  ImapWatcher& operator=(const ImapWatcher&) = delete;

  [[nodiscard]] const ImapWatchSettings& Settings() const { return settings_; }
  [[nodiscard]] Phase CurrentPhase() const { return phase_; }
  // The pause before the next attempt, while kWaiting.
  [[nodiscard]] std::uint32_t RetryMs() const { return retryMs_; }

  // Begins watching (from the loop, right after); Stop ends it and drops the
  // connection.
  void Start();
  void Stop();

  // ---- Events (loop thread; an empty one is skipped).
  // The password or access token for the next login; nothing, with why in
  // `why`, when there is none now (the watcher then waits and tries again).
  std::function<std::optional<std::string>(std::string& why)> OnSecret;
  // The server told of a change in the mailbox while watching.
  std::function<void()> OnNewMail;
  // A line for the activity log.
  std::function<void(std::string_view message)> OnLog;
  // The server refused the login (an OAuth2 token kept for later is stale).
  std::function<void()> OnLoginRefused;
  // The protocol trace of the connection.
  std::function<void(const std::string& line)> OnDisplay;

 private:
  // The one place where the phase changes.
  void SetPhase(Phase phase);
  void Open();
  void RequestDone(ImapRequest request, std::uint16_t error);
  void StartIdle();
  void Renew();
  void Fail(const std::string& why);
  void RetryLater();
  void StopTimer();

  EventLoop& loop_;
  ImapWatchSettings settings_;
  ImapClient client_;
  Phase phase_ = Phase::kStopped;
  // A watch is reported once per connection: the first IDLE after opening.
  bool told_ = false;
  std::uint32_t retryMs_ = 0;
  EventLoop::TimerId timer_ = 0;
  std::shared_ptr<int> alive_;
};

}  // namespace corvel
