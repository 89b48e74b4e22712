#include "checker/pop3_mailbox.h"

#include "net/socket_errors.h"
#include "net/tls_socket.h"
#include "pop3/pop3_auth.h"

namespace corvel {

namespace {

// The words AuthMethod holds, after unscrambling.
constexpr std::string_view kMethodApop = "APOP";
constexpr std::string_view kMethodSha1 = "SHA1";
constexpr std::string_view kMethodMd5 = "MD5";
constexpr std::string_view kMethodLogin = "LOGIN";
constexpr std::string_view kMethodNone = "NONE";
// The OAuth2 logins; "OAUTHBEARER" would not fit the field's 10 characters.
constexpr std::string_view kMethodBearer = "BEARER";
constexpr std::string_view kMethodXOAuth2 = "XOAUTH2";

bool IsOAuthMethod(std::string_view method) {
  return method == kMethodBearer || method == kMethodXOAuth2;
}

// After this many messages in a row that the server would tell nothing about,
// a listing stops asking: a server may claim two billion messages and refuse
// each of them.
constexpr int kMaxFailuresInARow = 100;

// New connections a check makes at most after answers that went out of step.
constexpr int kMaxResynchronisations = 3;

std::string Concat(std::string_view a, std::string_view b) {
  std::string s(a);
  s += b;
  return s;
}

}  // namespace

SocketTlsMode TlsModeFor(std::uint8_t securityMode, std::int32_t port) {
  if (securityMode == kSecurityTls) return SocketTlsMode::tlsImplicit;
  if (securityMode == kSecurityAuto && port == kPop3sPort) return SocketTlsMode::tlsImplicit;
  // STARTTLS begins in plain text; so do accounts from before TLS, elsewhere
  // than on 995.
  return SocketTlsMode::tlsOff;
}

void Pop3Mailbox::Begin(const AccountRecord& record, MailboxCheck& check) {
  check_ = &check;
  server_ = record.PlainServer();
  port_ = std::to_string(record.Port);
  securityMode_ = record.SecurityMode();
  oauth_ = record.UsesOAuth();
  authMethod_ = record.PlainAuthMethod();
  stage_ = Stage::kDone;
  resynchronised_ = 0;
  pop3_.SetHost(server_);
  pop3_.SetPort(port_);
  pop3_.SetUserName(record.PlainUserName());
  pop3_.SetTlsMode(TlsModeFor(securityMode_, record.Port));
  pop3_.SetTlsHostName("");  // the server's name as typed
}

bool Pop3Mailbox::Protected() const {
  return securityMode_ != kSecurityAuto || pop3_.TlsMode() != SocketTlsMode::tlsOff;
}

void Pop3Mailbox::SetSecret(std::string secret) { pop3_.SetPassWord(std::move(secret)); }

bool Pop3Mailbox::Connect(std::string& reason) {
  if (pop3_.ConnectSync()) return true;
  reason = ConnectFailureReason(LogTlsFailure(false));
  return false;
}

void Pop3Mailbox::LogOut() {
  // The logout has its own time-out, whatever time the check has left.
  pop3_.LimitTotalTime(std::nullopt);
  (void)pop3_.QuitSync();
  pop3_.SetHost("");
  pop3_.SetPort("");
  pop3_.SetUserName("");
  pop3_.SetPassWord("");
  stage_ = Stage::kDone;
}

std::string Pop3Mailbox::ConnectFailureReason(const std::string& tls) const {
  const std::string where = server_ + ":" + port_;
  if (tls == kTlsNotTlsReason) {
    return "TLS failed: " + tls + "; this port speaks plain text: use --security starttls, " +
           "or the server's TLS port";
  }
  if (!tls.empty()) return "TLS failed: " + tls;
  if (pop3_.TimedOutIn() != Pop3EngineState::pop3Idle) {
    const std::string seconds = std::to_string(pop3_.Timeout()) + " s";
    if (pop3_.TimedOutIn() != Pop3EngineState::pop3WaitingGreeting) {
      return "no answer from " + where + " within " + seconds;
    }
    // Connected, and silence: the usual sign of a server that waits for
    // the client to begin TLS.
    if (pop3_.TlsMode() == SocketTlsMode::tlsOff) {
      return "the server did not greet within " + seconds +
             "; port 995-style servers need --security tls";
    }
    return "the server did not greet within " + seconds;
  }
  const std::int32_t code = pop3_.RequestResult();
  if (code == kPop3NegativeReply) return "the server refused the connection: " + ServerAnswer();
  if (code == kPop3ConnectionClosed) return where + " closed the connection before greeting";
  return "cannot connect to " + where + ": " + SocketErrorText(code);
}

std::string Pop3Mailbox::ServerAnswer() const {
  if (pop3_.TotalTimeRanOut() && pop3_.TotalTimeLimit()) {
    return "the check took longer than the " + std::to_string(*pop3_.TotalTimeLimit() / 1000) +
           " s it may";
  }
  if (pop3_.TimedOutIn() != Pop3EngineState::pop3Idle) {
    return "no answer within " + std::to_string(pop3_.Timeout()) + " s";
  }
  // The refusal of the last command; ErrorMessage may still hold an earlier
  // one of the same request sequence.
  const std::string& line = pop3_.LastResponse();
  if (pop3_.StatusCode() == kPop3NegativeReply && !line.empty() && line[0] == '-') return line;
  if (pop3_.ErrorMessage().empty()) return "the connection ended";
  return pop3_.ErrorMessage();
}

bool Pop3Mailbox::StartTlsIfRequired(std::string& reason) {
  if (securityMode_ != kSecurityStartTls) return true;
  // STLS is sent whether or not the server lists it: a server without it
  // answers -ERR, and the account then fails rather than log in in clear.
  if (pop3_.StlsSync() && pop3_.TlsActive()) return true;
  reason = "TLS failed: " + LogTlsFailure(true);
  return false;
}

std::string Pop3Mailbox::LogTlsFailure(bool startTls) {
  std::string why;
  if (pop3_.RequestResult() == kTlsHandshakeFailed || pop3_.RequestResult() == kTlsProtocolError) {
    why = pop3_.TlsFailureReason().empty() ? SocketErrorText(pop3_.RequestResult())
                                           : pop3_.TlsFailureReason();
  } else if (!startTls) {
    return why;  // a plain connection failure: the log stays as it always was
  } else if (pop3_.RequestResult() == kPop3NegativeReply) {
    why = "server does not offer STARTTLS";
  } else {
    why = pop3_.ErrorMessage().empty() ? "STLS did not complete" : pop3_.ErrorMessage();
  }
  check_->Log("TLS failed: " + why);
  return why;
}

CheckOutcome Pop3Mailbox::LogIn(std::string& reason) {
  if (!StartTlsIfRequired(reason)) return CheckOutcome::TlsFailed;
  if (oauth_ && !IsOAuthMethod(authMethod_)) {
    // Never the password methods: a word stored before the account moved
    // to OAuth2 is found again.
    return DiscoverOAuthMethod(reason);
  }
  if (authMethod_.empty()) return DiscoverAuthMethod(reason);
  return LoginStored(reason) ? CheckOutcome::Checked : CheckOutcome::LoginFailed;
}

CheckOutcome Pop3Mailbox::DiscoverAuthMethod(std::string& reason) {
  check_->Log("Trying to figure out AUTH type...");

  if (pop3_.HasTimestamp()) {
    check_->Log("Trying APOP.");
    if (pop3_.APopSync()) {
      check_->Log("APOP worked!");
      check_->RememberAuthMethod(kMethodApop);
      return CheckOutcome::MethodDiscovered;
    }
    if (pop3_.Connected()) {
      check_->Log("APOP did not disconnect...");
    } else {
      check_->Log("APOP disconnected, connect again.");
      if (!pop3_.ConnectSync()) {
        reason = ConnectFailureReason(LogTlsFailure(false));
        return CheckOutcome::ReconnectFailed;
      }
      check_->Log(Concat("Connected to ", server_));
      // The new connection needs its own STLS before anything else is sent.
      if (!StartTlsIfRequired(reason)) return CheckOutcome::TlsFailed;
    }
  }

  static constexpr AuthAttempt kChain[] = {
      {"Trying CramSHA1...", Pop3AuthType::popAuthCramSHA1, "CramSHA1 worked!", kMethodSha1},
      {"Trying CramMD5...", Pop3AuthType::popAuthCramMD5, "CramMD5 worked!", kMethodMd5},
      {"Trying AUTH LOGIN...", Pop3AuthType::popAuthLogin, "AUTH LOGIN worked!", kMethodLogin},
  };
  if (TryAuthChain(kChain, false)) return CheckOutcome::MethodDiscovered;

  check_->Log("Trying with cleartext user/pass...");
  pop3_.SetAuthType(Pop3AuthType::popAuthNone);
  if (pop3_.UserSync() && pop3_.PassSync()) {
    check_->Log("Cleartext user/pass worked...");
    check_->RememberAuthMethod(kMethodNone);
    return CheckOutcome::MethodDiscovered;
  }
  check_->Log("Could not log in!");
  reason = "no login method worked (is the user name or password wrong?); the server said: " +
           ServerAnswer();
  return CheckOutcome::NoMethodFound;
}

bool Pop3Mailbox::TryAuthChain(std::span<const AuthAttempt> chain, bool logRefusals) {
  for (const AuthAttempt& attempt : chain) {
    check_->Log(attempt.announcement);
    pop3_.SetAuthType(attempt.type);
    if (pop3_.AuthSync()) {
      check_->Log(attempt.success);
      check_->RememberAuthMethod(attempt.method);
      return true;
    }
    if (logRefusals) LogServerAnswer();
  }
  return false;
}

CheckOutcome Pop3Mailbox::DiscoverOAuthMethod(std::string& reason) {
  check_->Log("Trying to figure out AUTH type...");
  static constexpr AuthAttempt kChain[] = {
      {"Trying OAUTHBEARER...", Pop3AuthType::popAuthOAuthBearer, "OAUTHBEARER worked!",
       kMethodBearer},
      {"Trying XOAUTH2...", Pop3AuthType::popAuthXOAuth2, "XOAUTH2 worked!", kMethodXOAuth2},
  };
  if (TryAuthChain(kChain, true)) return CheckOutcome::MethodDiscovered;
  check_->Log("Could not log in!");
  reason = OAuthLoginRefused("OAUTHBEARER, XOAUTH2");
  return CheckOutcome::NoMethodFound;
}

std::string Pop3Mailbox::OAuthLoginRefused(std::string_view methods) {
  std::string answer = ServerAnswer();
  if (!pop3_.AuthErrorChallenge().empty()) answer += " " + pop3_.AuthErrorChallenge();
  check_->TokenRefused();
  return Concat(Concat("the server refused the OAuth2 token (", methods), "): ") + answer;
}

void Pop3Mailbox::LogServerAnswer() {
  std::string answer = PrintableAscii(pop3_.LastResponse(), 200);
  if (!pop3_.AuthErrorChallenge().empty()) answer += " " + pop3_.AuthErrorChallenge();
  if (!answer.empty()) check_->Log("Server's answer: " + answer);
}

bool Pop3Mailbox::LoginStored(std::string& reason) {
  const std::string& method = authMethod_;
  if (oauth_) {
    const bool bearer = method == kMethodBearer;
    check_->Log(bearer ? "Logging in using OAUTHBEARER..." : "Logging in using XOAUTH2...");
    pop3_.SetAuthType(bearer ? Pop3AuthType::popAuthOAuthBearer : Pop3AuthType::popAuthXOAuth2);
    if (pop3_.AuthSync()) {
      check_->Log("Logged in!");
      return true;
    }
    check_->Log(bearer ? "OAUTHBEARER login failed!" : "XOAUTH2 login failed!");
    LogServerAnswer();
    reason = OAuthLoginRefused(bearer ? "OAUTHBEARER" : "XOAUTH2");
    return false;
  }
  bool ok = false;
  const char* failure = nullptr;
  const char* label = nullptr;
  if (method == kMethodApop) {
    check_->Log("Logging in using APOP...");
    ok = pop3_.APopSync();
    failure = "APOP login failed!";
    label = "APOP";
  } else if (method == kMethodSha1 || method == kMethodMd5 || method == kMethodLogin) {
    if (method == kMethodSha1) {
      check_->Log("Logging in using CramSHA1...");
      pop3_.SetAuthType(Pop3AuthType::popAuthCramSHA1);
      failure = "CramSHA1 login failed!";
      label = "AUTH CRAM-SHA1";
    } else if (method == kMethodMd5) {
      check_->Log("Logging in using CramMD5...");
      pop3_.SetAuthType(Pop3AuthType::popAuthCramMD5);
      failure = "CramMD5 login failed!";
      label = "AUTH CRAM-MD5";
    } else {
      check_->Log("Logging in using AUTH LOGIN...");
      pop3_.SetAuthType(Pop3AuthType::popAuthLogin);
      failure = "AUTH LOGIN failed!";
      label = "AUTH LOGIN";
    }
    ok = pop3_.AuthSync();
  } else {
    check_->Log("Logging in with regular cleartext user/pass...");
    pop3_.SetAuthType(Pop3AuthType::popAuthNone);
    ok = pop3_.UserSync() && pop3_.PassSync();
    failure = "Regular cleartext user/pass login failed!";
    label = "USER/PASS";
  }
  if (ok) {
    check_->Log("Logged in!");
    return true;
  }
  check_->Log(failure);
  reason = Concat(Concat("the server refused the login (", label), "): ") + ServerAnswer();
  return false;
}

bool Pop3Mailbox::Stat(MailboxStats& stats) {
  if (!pop3_.StatSync()) return false;
  messageCount_ = pop3_.MsgCount();
  stats.count = pop3_.MsgCount();
  stats.bytes = pop3_.MsgSize();
  return true;
}

void Pop3Mailbox::BeginListing(const ListingRequest& request) {
  request_ = request;
  stage_ = Stage::kStart;
  end_ = ListingEnd::kComplete;
  nextMessage_ = 1;
  failuresInARow_ = 0;
  answered_ = true;
  listedEntries_ = 0;
  listedBytes_ = 0;
  sizesListed_ = false;
  uidlsListed_ = false;
  sizes_.clear();
  uidls_.clear();
  nextSize_ = 0;
  nextUidl_ = 0;
}

ListingEnd Pop3Mailbox::EndListing(ListingEnd end) {
  stage_ = Stage::kDone;
  end_ = end;
  sizes_.clear();
  uidls_.clear();
  return end;
}

bool Pop3Mailbox::Count(std::string_view id) {
  ++listedEntries_;
  listedBytes_ += id.size();
  return listedEntries_ <= request_.maxEntries && listedBytes_ <= request_.maxBytes;
}

ListingEnd Pop3Mailbox::NextBatch(std::vector<MailboxEntry>& batch) {
  batch.clear();
  if (stage_ == Stage::kDone) return end_;
  return request_.everyMessage ? NextOfEveryMessage(batch) : NextIdentified(batch);
}

namespace {

// Raised from a listing's line event to end a listing beyond its bounds: the
// engine fails the request and drops the connection, so a server that
// streams lines for ever is not listened to any longer.
class ListingBeyondBounds : public std::exception {
 public:
  [[nodiscard]] const char* what() const noexcept override {
    return "the listing goes beyond its bounds";
  }
};

}  // namespace

ListingEnd Pop3Mailbox::ReadListing(bool identifiers,
                                    const std::function<bool(std::int32_t)>& onLine) {
  const std::int32_t messageCount = messageCount_;
  std::int32_t previous = 0;
  bool outOfOrder = false;
  bool tooLarge = false;
  SyncPop3Client::NotifyEvent& lineEvent = identifiers ? pop3_.OnUidlLine : pop3_.OnListLine;
  lineEvent = [&] {
    if (outOfOrder) return;
    // Each message once, in ascending order, and only those STAT counted;
    // a listing that says otherwise cannot be matched to the messages.
    const std::int32_t n = pop3_.MsgNum();
    if (n <= previous || n > messageCount) {
      outOfOrder = true;
      return;
    }
    previous = n;
    if (!onLine(n)) {
      tooLarge = true;
      throw ListingBeyondBounds();
    }
  };
  pop3_.SetMsgNum(0);
  const bool complete = identifiers ? pop3_.UidlSync() : pop3_.ListSync();
  lineEvent = nullptr;
  if (tooLarge) return ListingEnd::kTooLarge;
  if (outOfOrder || (!complete && pop3_.Connected())) return ListingEnd::kUnusable;
  return complete ? ListingEnd::kComplete : ListingEnd::kCut;
}

ListingEnd Pop3Mailbox::NextIdentified(std::vector<MailboxEntry>& batch) {
  if (stage_ == Stage::kStart) {
    if (request_.fast) {
      const ListingEnd listed = ReadListing(true, [&](std::int32_t n) {
        batch.push_back(
            MailboxEntry{pop3_.MsgUidl(), 0, false, false, static_cast<std::uint64_t>(n)});
        return Count(pop3_.MsgUidl());
      });
      if (listed == ListingEnd::kTooLarge) batch.clear();
      if (listed != ListingEnd::kUnusable) return EndListing(listed);
      // The same session goes on message by message.
      batch.clear();
      listedEntries_ = 0;
      listedBytes_ = 0;
    }
    stage_ = Stage::kPerMessage;
  }
  while (nextMessage_ <= messageCount_) {
    // Once the server has gone, every further command would be refused at
    // once; stop rather than walk the rest of a mailbox it claimed to have.
    if (!pop3_.Connected()) return EndListing(ListingEnd::kCut);
    const auto n = static_cast<std::int32_t>(nextMessage_++);
    pop3_.SetMsgNum(n);
    if (!pop3_.UidlSync()) {
      // A server that refuses identifier after identifier has none to give.
      if (++failuresInARow_ == kMaxFailuresInARow) return EndListing(ListingEnd::kComplete);
      continue;
    }
    failuresInARow_ = 0;
    if (!Count(pop3_.MsgUidl())) return EndListing(ListingEnd::kTooLarge);
    batch.push_back(MailboxEntry{pop3_.MsgUidl(), 0, false, false, static_cast<std::uint64_t>(n)});
    return ListingEnd::kMore;
  }
  return EndListing(pop3_.Connected() ? ListingEnd::kComplete : ListingEnd::kCut);
}

ListingEnd Pop3Mailbox::NextOfEveryMessage(std::vector<MailboxEntry>& batch) {
  if (stage_ == Stage::kStart) {
    if (request_.fast && messageCount_ > 1) {
      const ListingEnd sizes = ReadListing(false, [&](std::int32_t n) {
        sizes_.emplace_back(n, pop3_.MsgSize());
        return sizes_.size() <= request_.maxEntries;
      });
      if (sizes == ListingEnd::kTooLarge) return EndListing(sizes);
      const ListingEnd uidls = ReadListing(true, [&](std::int32_t n) {
        uidls_.emplace_back(n, pop3_.MsgUidl());
        return Count(pop3_.MsgUidl());
      });
      if (uidls == ListingEnd::kTooLarge) return EndListing(uidls);
      sizesListed_ = sizes != ListingEnd::kUnusable;
      uidlsListed_ = uidls != ListingEnd::kUnusable;
      if (sizesListed_ && uidlsListed_ &&
          sizes_.size() == static_cast<std::size_t>(messageCount_) &&
          uidls_.size() == sizes_.size()) {
        // Both listings name every message (each once, in order): nothing is
        // left to ask but the headers.
        for (std::size_t i = 0; i < sizes_.size(); ++i) {
          batch.push_back(MailboxEntry{std::move(uidls_[i].second), sizes_[i].second, true, false,
                                       static_cast<std::uint64_t>(sizes_[i].first)});
        }
        return EndListing(ListingEnd::kComplete);
      }
      listedEntries_ = 0;
      listedBytes_ = 0;
    }
    stage_ = Stage::kPerMessage;
  } else {
    // A server that answers nothing about message after message has no more
    // to show, whatever number STAT gave.
    failuresInARow_ = answered_ ? 0 : failuresInARow_ + 1;
    if (failuresInARow_ == kMaxFailuresInARow) return EndListing(ListingEnd::kComplete);
  }
  if (nextMessage_ > messageCount_) return EndListing(ListingEnd::kComplete);
  if (!pop3_.Connected()) return EndListing(ListingEnd::kCut);
  const auto n = static_cast<std::int32_t>(nextMessage_++);
  // What a listing gave, or else the message's own command: a message that
  // a listing left out is asked about on its own.
  MailboxEntry entry;
  entry.ref = static_cast<std::uint64_t>(n);
  if (sizesListed_) {
    while (nextSize_ < sizes_.size() && sizes_[nextSize_].first < n) ++nextSize_;
    entry.sized = nextSize_ < sizes_.size() && sizes_[nextSize_].first == n;
    if (entry.sized) entry.size = sizes_[nextSize_].second;
  }
  if (!entry.sized) {
    pop3_.SetMsgNum(n);
    entry.sized = pop3_.ListSync();
    if (entry.sized) entry.size = pop3_.MsgSize();
  }
  bool identified = false;
  if (uidlsListed_) {
    while (nextUidl_ < uidls_.size() && uidls_[nextUidl_].first < n) ++nextUidl_;
    identified = nextUidl_ < uidls_.size() && uidls_[nextUidl_].first == n;
    if (identified) entry.id = uidls_[nextUidl_].second;
  }
  if (!identified) {
    pop3_.SetMsgNum(n);
    identified = pop3_.UidlSync();
    if (identified) entry.id = pop3_.MsgUidl();
  }
  if (!Count(entry.id)) return EndListing(ListingEnd::kTooLarge);
  answered_ = entry.sized || identified;
  batch.push_back(std::move(entry));
  return ListingEnd::kMore;
}

bool Pop3Mailbox::FetchSizes(std::span<MailboxEntry> entries) {
  std::size_t unsized = 0;
  for (const MailboxEntry& entry : entries) unsized += entry.sized ? 0 : 1;
  if (unsized == 0 || !pop3_.Connected()) return pop3_.Connected();
  // One LIST for several, then LIST n for each the listing did not size.
  if (unsized > 1) {
    std::vector<std::pair<std::size_t, std::int32_t>> listed;
    std::size_t next = 0;
    const ListingEnd end = ReadListing(false, [&](std::int32_t n) {
      const auto number = static_cast<std::uint64_t>(n);
      while (next < entries.size() && entries[next].ref < number) ++next;
      if (next < entries.size() && entries[next].ref == number) {
        listed.emplace_back(next, pop3_.MsgSize());
      }
      return true;
    });
    if (end != ListingEnd::kUnusable) {
      for (const auto& [i, size] : listed) {
        if (entries[i].sized) continue;
        entries[i].size = size;
        entries[i].sized = true;
      }
    }
  }
  for (MailboxEntry& entry : entries) {
    if (entry.sized) continue;
    if (!pop3_.Connected()) return false;
    pop3_.SetMsgNum(static_cast<std::int32_t>(entry.ref));
    if (pop3_.ListSync()) {
      entry.size = pop3_.MsgSize();
      entry.sized = true;
    }
  }
  return pop3_.Connected();
}

MessageHeaders Pop3Mailbox::Headers() const {
  return MessageHeaders{pop3_.HeaderFrom(), pop3_.HeaderSubject(), pop3_.HeaderDate()};
}

bool Pop3Mailbox::ServerPipelines() {
  if (noPipelining_.contains(ServerKey())) return false;
  if (!pop3_.CapaAsked()) (void)pop3_.CapaSync();
  return pop3_.HasCapability("PIPELINING");
}

bool Pop3Mailbox::Resynchronise() {
  if (!pop3_.AnswerOutOfStep() || resynchronised_ == kMaxResynchronisations) return false;
  ++resynchronised_;
  noPipelining_.insert(ServerKey());
  check_->Log("The server's answers went out of step; connecting again");
  if (!pop3_.ConnectSync()) return false;
  check_->Log(Concat("Connected to ", server_));
  std::string reason;
  return StartTlsIfRequired(reason) && LoginStored(reason);
}

bool Pop3Mailbox::SameMessage(const MailboxEntry& entry) {
  // Another session may have removed messages since the listing, which
  // renumbers those behind them.
  if (entry.id.empty()) return false;
  pop3_.SetMsgNum(static_cast<std::int32_t>(entry.ref));
  return pop3_.UidlSync() && pop3_.MsgUidl() == entry.id;
}

bool Pop3Mailbox::FetchHeaders(std::span<const MailboxEntry> entries,
                               const HeadersEvent& onHeaders) {
  if (!pop3_.Connected()) return false;
  std::vector<bool> shown(entries.size(), false);
  bool wanted = true;
  auto show = [&](std::size_t i) {
    shown[i] = true;
    answered_ = true;
    if (wanted) wanted = onHeaders(i, Headers());
  };
  // After a new connection, each message is first checked to be the one
  // listed.
  bool verify = false;
  if (entries.size() > 1 && pop3_.Connected() && ServerPipelines()) {
    // The answers come in the order of the commands; each is handed on
    // while the client still holds it.
    pop3_.PipelineSync(
        entries.size(),
        [&](std::size_t i) {
          pop3_.SetMsgLines(1);
          pop3_.SetMsgNum(static_cast<std::int32_t>(entries[i].ref));
          pop3_.Top();
        },
        [&](std::size_t i, bool succeeded) {
          if (succeeded) show(i);
        });
    if (pop3_.Connected() || !wanted) return pop3_.Connected();
    if (!Resynchronise()) return false;
    verify = true;
  }
  std::size_t i = 0;
  while (i < entries.size() && wanted) {
    if (shown[i]) {
      ++i;
      continue;
    }
    if (!pop3_.Connected()) return false;
    if (verify && !SameMessage(entries[i])) {
      ++i;
      continue;
    }
    pop3_.SetMsgLines(1);
    pop3_.SetMsgNum(static_cast<std::int32_t>(entries[i].ref));
    if (pop3_.TopSync()) {
      show(i);
    } else if (!pop3_.Connected()) {
      // Answers out of step: this message is asked again on a new connection.
      if (!Resynchronise()) return false;
      verify = true;
      continue;
    }
    ++i;
  }
  return pop3_.Connected();
}

}  // namespace corvel
