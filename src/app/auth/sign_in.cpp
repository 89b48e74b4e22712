#include "app/auth/sign_in.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "app/auth/account_secrets.h"
#include "app/auth/oauth_flow.h"

namespace corvel {

SignIn::SignIn(EventLoop& loop, SecretStore& keyring) : loop_(loop), keyring_(keyring) {}

SignIn::~SignIn() {
  Cancel();
  JoinFinished(true);
}

bool SignIn::Running() const { return current_ != nullptr; }

void SignIn::Cancel() {
  if (current_) current_->cancelled = true;
  current_.reset();
}

void SignIn::JoinFinished(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->first->finished) {
      it->second.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void SignIn::Start(SignInRequest request) {
  Cancel();
  JoinFinished(false);
  auto attempt = std::make_shared<Attempt>();
  current_ = attempt;
  // The worker touches only its request, the keyring and the loop's queue;
  // what it hands over runs on the loop thread, and only while its attempt
  // is the one running (this object may be gone once it is cancelled).
  std::thread worker([this, attempt, request = std::move(request), &loop = loop_,
                      &keyring = keyring_] {
    SignInOutcome outcome;
    try {
      AuthorizeOptions options;
      options.timeoutMs = request.timeoutMs;
      if (request.openBrowser) options.openBrowser = request.openBrowser;
      options.cancelled = [attempt] { return attempt->cancelled.load(); };
      options.tellUser = [this, attempt, &loop](const std::string& url, const std::string& why) {
        loop.Post([this, attempt, url, why] {
          if (!attempt->cancelled && OnWaiting) OnWaiting(url, why);
        });
      };
      std::string clientSecret = request.clientSecret;
      if (clientSecret.empty() && request.storedClientSecretOf) {
        SecretResult stored =
            ReadAccountSecret(keyring, *request.storedClientSecretOf, kSecretKindClientSecret);
        if (!stored.ok)
          throw std::runtime_error("the client secret is not in the keyring: " + stored.reason);
        clientSecret = std::move(stored.secret);
      }
      const TokenGrant grant = Authorize(request.settings, clientSecret, options);
      if (!grant.ok) {
        outcome.reason = grant.reason;
      } else if (!attempt->cancelled) {
        SecretResult kept = keyring.Write(KeyringKeyOf(request.account, kSecretKindRefreshToken),
                                          KeyringLabelOf(request.account, "OAuth2 refresh token"),
                                          grant.refreshToken);
        if (kept.ok && !clientSecret.empty()) {
          kept =
              keyring.Write(KeyringKeyOf(request.account, kSecretKindClientSecret),
                            KeyringLabelOf(request.account, "OAuth2 client secret"), clientSecret);
        }
        outcome.ok = kept.ok;
        if (!kept.ok) outcome.reason = "the authorization cannot be kept: " + kept.reason;
      }
    } catch (const std::exception& e) {
      outcome = {false, e.what()};
    }
    attempt->finished = true;
    loop.Post([this, attempt, outcome] {
      if (attempt->cancelled) return;
      current_.reset();
      if (OnDone) OnDone(outcome);
    });
  });
  workers_.emplace_back(attempt, std::move(worker));
}

}  // namespace corvel
