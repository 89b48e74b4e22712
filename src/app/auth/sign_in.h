// The sign-in of the account editor: Corvel's own OAuth2 authorization
// (Authorize) run on a worker thread, so that the window and the checks go on
// while the browser is out, with the refresh token and a client secret filed
// in the keyring there too; the outcome is handed to the loop thread with
// EventLoop::Post. A sign-in can be cancelled at any moment: its wait for the
// browser ends within a tenth of a second and nothing of it is reported.
//
// Threads: every call and event on the loop thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounts/account_record.h"
#include "accounts/oauth_settings.h"
#include "app/auth/secret_store.h"
#include "net/event_loop.h"

namespace corvel {

struct SignInRequest {
  // Complete (CompleteProviderSettings): endpoints, client ID, scope.
  OAuthSettings settings;
  // The client secret to send; empty: none, or the one the keyring keeps
  // for `storedClientSecretOf` when that is set.
  std::string clientSecret;
  std::optional<AccountRecord> storedClientSecretOf;
  // The account as it will be written: where the keyring files its secrets.
  AccountRecord account;
  // How long the browser may take to come back.
  int timeoutMs = 5 * 60 * 1000;
  // Shows the address in the browser (empty: the system's browser).
  std::function<bool(const std::string& url, std::string& why)> openBrowser;
};

struct SignInOutcome {
  bool ok = false;
  // When not ok: why, in the provider's or the keyring's words.
  std::string reason;
};

class SignIn {
 public:
  // `keyring` is reached from the worker; it must outlive this object.
  SignIn(EventLoop& loop, SecretStore& keyring);
  // Cancels a sign-in still running and waits for its worker.
  ~SignIn();
  SignIn(const SignIn&) = delete;
  SignIn& operator=(const SignIn&) = delete;

  // Starts a sign-in; one still running is cancelled first.
  void Start(SignInRequest request);
  // Ends the running sign-in: nothing of it is reported any more.
  void Cancel();
  [[nodiscard]] bool Running() const;

  // The browser was sent to `url` (whyNotOpened empty), or could not be
  // (then the user must open it).
  std::function<void(const std::string& url, const std::string& whyNotOpened)> OnWaiting;
  // The sign-in has ended (not after Cancel).
  std::function<void(const SignInOutcome& outcome)> OnDone;

 private:
  struct Attempt {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
  };
  void JoinFinished(bool all);

  EventLoop& loop_;
  SecretStore& keyring_;
  std::shared_ptr<Attempt> current_;
  std::vector<std::pair<std::shared_ptr<Attempt>, std::thread>> workers_;
};

}  // namespace corvel
