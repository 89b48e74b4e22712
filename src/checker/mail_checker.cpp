#include "checker/mail_checker.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "accounts/file_io.h"
#include "codec/exception.h"
#include "codec/header_decode.h"
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
// a detection stops asking: a server may claim two billion messages and refuse
// each of them.
constexpr int kMaxFailuresInARow = 100;

// The silence a check's deadline is measured in when the client has none.
constexpr std::int64_t kDefaultPop3Timeout = 15;

// A name of a file in the working directory, and nothing else.
bool IsBareFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

std::string Concat(std::string_view a, std::string_view b) {
  std::string s(a);
  s += b;
  return s;
}

}  // namespace

bool CheckFailed(CheckOutcome outcome) {
  return outcome != CheckOutcome::Checked && outcome != CheckOutcome::MethodDiscovered;
}

SocketTlsMode TlsModeFor(std::uint8_t securityMode, std::int32_t port) {
  if (securityMode == kSecurityTls) return SocketTlsMode::tlsImplicit;
  if (securityMode == kSecurityAuto && port == kPop3sPort) return SocketTlsMode::tlsImplicit;
  // STARTTLS begins in plain text; so do accounts from before TLS, elsewhere
  // than on 995.
  return SocketTlsMode::tlsOff;
}

MailChecker::MailChecker(AccountTable& table, SyncPop3Client& pop3, SeenList& seenList,
                         NewMailList& mailList, WindowFlags& flags, CheckHost& host)
    : table_(table),
      pop3_(pop3),
      seenList_(seenList),
      mailList_(mailList),
      flags_(flags),
      host_(host) {}

AccountRecord* MailChecker::CheckedRecord(std::size_t index) {
  if (checkGeneration_ != tableGeneration_ || index >= AccountTable::kCapacity) return nullptr;
  return &table_[index];
}

CheckOutcome MailChecker::CheckAccount(std::size_t index) {
  checkGeneration_ = tableGeneration_;
  const AccountRecord& record = table_[index];
  name_ = record.PlainAccountName();
  server_ = record.PlainServer();
  port_ = std::to_string(record.Port);
  report_ = CheckReport{};
  report_.account = name_;
  const std::string authMethod = record.PlainAuthMethod();

  pop3_.SetHost(server_);
  pop3_.SetPort(port_);
  pop3_.SetUserName(record.PlainUserName());
  securityMode_ = record.SecurityMode();
  pop3_.SetTlsMode(TlsModeFor(securityMode_, record.Port));
  pop3_.SetTlsHostName("");  // the server's name as typed
  oauth_ = record.UsesOAuth();

  CheckOutcome outcome = CheckOutcome::Checked;
  try {
    if (PrepareLogin(record)) {
      outcome = ConnectAndCheck(index, authMethod);
    } else {
      outcome = CheckOutcome::NotAttempted;
    }
  } catch (...) {
    FinishCheck(index);
    throw;
  }
  return EndCheck(index, outcome);
}

CheckOutcome MailChecker::ConnectAndCheck(std::size_t index, const std::string& authMethod) {
  host_.WriteLog(name_, Concat("Trying to connect to ", server_));
  if (!pop3_.ConnectSync()) {
    if (flags_.ConnErrorArmed && host_.OptionChecked(CheckOption::ConnErr)) {
      host_.BalloonNotify("Connection error!", Concat("Unable to connect to ", server_),
                          kBalloonError, 15);
      flags_.ConnErrorArmed = false;
    }
    report_.reason = ConnectFailureReason(LogTlsFailure(false));
    return CheckOutcome::ConnectFailed;
  }
  host_.WriteLog(name_, Concat("Connected to ", server_));
  flags_.ConnErrorArmed = true;
  if (!StartTlsIfRequired()) return CheckOutcome::TlsFailed;

  CheckOutcome outcome = CheckOutcome::Checked;
  if (oauth_ && !IsOAuthMethod(authMethod)) {
    // Never the password methods: a word stored before the account moved
    // to OAuth2 is found again.
    DiscoverOAuthMethod(index, outcome);
  } else if (authMethod.empty()) {
    if (!DiscoverAuthMethod(index, outcome)) return CheckOutcome::ReconnectFailed;
  } else if (LoginStored(index)) {
    DetectNewMail(index);
  } else {
    outcome = CheckOutcome::LoginFailed;
  }
  return outcome;
}

CheckOutcome MailChecker::EndCheck(std::size_t index, CheckOutcome outcome) {
  FinishCheck(index);
  report_.outcome = outcome;
  if (!CheckFailed(outcome)) report_.reason.clear();
  host_.CheckFinished(report_);
  return outcome;
}

std::string MailChecker::ConnectFailureReason(const std::string& tls) const {
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

std::string MailChecker::ServerAnswer() const {
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

LoginSecret FileLoginSecret(const AccountRecord& record) {
  if (record.Login() == LoginKind::loginPassword && record.SecretIn() == SecretPlace::secretFile) {
    return {true, record.PlainPassword(), {}};
  }
  return {false, {}, "No way to get this account's secret here"};
}

bool MailChecker::PrepareLogin(const AccountRecord& record) {
  if (oauth_ && securityMode_ == kSecurityAuto && pop3_.TlsMode() == SocketTlsMode::tlsOff) {
    // A bearer token lets anyone who reads it into the mailbox: it goes only
    // into a TLS session (from the first byte, or after STLS).
    report_.reason =
        "Not connecting: an OAuth2 token is sent only over TLS (security tls or starttls)";
    host_.WriteLog(name_, report_.reason);
    return false;
  }
  LoginSecret secret =
      secretSource_ != nullptr ? secretSource_->LoginSecretOf(record) : FileLoginSecret(record);
  if (!secret.ok) {
    report_.reason = secret.reason;
    host_.WriteLog(name_, secret.reason);
    return false;
  }
  pop3_.SetPassWord(std::move(secret.secret));
  return true;
}

bool MailChecker::StartTlsIfRequired() {
  if (securityMode_ != kSecurityStartTls) return true;
  // STLS is sent whether or not the server lists it: a server without it
  // answers -ERR, and the account then fails rather than log in in clear.
  if (pop3_.StlsSync() && pop3_.TlsActive()) return true;
  report_.reason = "TLS failed: " + LogTlsFailure(true);
  return false;
}

std::string MailChecker::LogTlsFailure(bool startTls) {
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
  host_.WriteLog(name_, "TLS failed: " + why);
  return why;
}

void MailChecker::FinishCheck(std::size_t index) {
  // The logout has its own time-out, whatever time the check has left.
  pop3_.LimitTotalTime(std::nullopt);
  (void)pop3_.QuitSync();
  pop3_.SetHost("");
  pop3_.SetPort("");
  pop3_.SetUserName("");
  pop3_.SetPassWord("");
  if (AccountRecord* record = CheckedRecord(index)) record->Elapsed = 0;
  host_.WriteLog(name_, "Logged out from " + server_ + "...");
}

void MailChecker::StoreAuthMethod(std::size_t index, std::string_view method) {
  if (AccountRecord* record = CheckedRecord(index)) record->SetPlainAuthMethod(method);
  host_.WriteLog(name_, "Saving AUTH type and logging out...");
}

bool MailChecker::DiscoverAuthMethod(std::size_t index, CheckOutcome& outcome) {
  outcome = CheckOutcome::MethodDiscovered;
  host_.WriteLog(name_, "Trying to figure out AUTH type...");

  if (pop3_.HasTimestamp()) {
    host_.WriteLog(name_, "Trying APOP.");
    if (pop3_.APopSync()) {
      host_.WriteLog(name_, "APOP worked!");
      StoreAuthMethod(index, kMethodApop);
      return true;
    }
    if (pop3_.Connected()) {
      host_.WriteLog(name_, "APOP did not disconnect...");
    } else {
      host_.WriteLog(name_, "APOP disconnected, connect again.");
      if (!pop3_.ConnectSync()) {
        report_.reason = ConnectFailureReason(LogTlsFailure(false));
        return false;
      }
      host_.WriteLog(name_, Concat("Connected to ", server_));
      // The new connection needs its own STLS before anything else is sent.
      if (!StartTlsIfRequired()) {
        outcome = CheckOutcome::TlsFailed;
        return true;
      }
    }
  }

  struct AuthAttempt {
    const char* announcement;
    Pop3AuthType type;
    const char* success;
    std::string_view method;
  };
  static constexpr AuthAttempt kChain[] = {
      {"Trying CramSHA1...", Pop3AuthType::popAuthCramSHA1, "CramSHA1 worked!", kMethodSha1},
      {"Trying CramMD5...", Pop3AuthType::popAuthCramMD5, "CramMD5 worked!", kMethodMd5},
      {"Trying AUTH LOGIN...", Pop3AuthType::popAuthLogin, "AUTH LOGIN worked!", kMethodLogin},
  };
  for (const AuthAttempt& attempt : kChain) {
    host_.WriteLog(name_, attempt.announcement);
    pop3_.SetAuthType(attempt.type);
    if (pop3_.AuthSync()) {
      host_.WriteLog(name_, attempt.success);
      StoreAuthMethod(index, attempt.method);
      return true;
    }
  }

  host_.WriteLog(name_, "Trying with cleartext user/pass...");
  pop3_.SetAuthType(Pop3AuthType::popAuthNone);
  if (pop3_.UserSync() && pop3_.PassSync()) {
    host_.WriteLog(name_, "Cleartext user/pass worked...");
    StoreAuthMethod(index, kMethodNone);
    return true;
  }
  host_.WriteLog(name_, "Could not log in!");
  report_.reason =
      "no login method worked (is the user name or password wrong?); the server said: " +
      ServerAnswer();
  outcome = CheckOutcome::NoMethodFound;
  return true;
}

void MailChecker::DiscoverOAuthMethod(std::size_t index, CheckOutcome& outcome) {
  outcome = CheckOutcome::MethodDiscovered;
  host_.WriteLog(name_, "Trying to figure out AUTH type...");
  struct OAuthAttempt {
    const char* announcement;
    Pop3AuthType type;
    const char* success;
    std::string_view method;
  };
  static constexpr OAuthAttempt kChain[] = {
      {"Trying OAUTHBEARER...", Pop3AuthType::popAuthOAuthBearer, "OAUTHBEARER worked!",
       kMethodBearer},
      {"Trying XOAUTH2...", Pop3AuthType::popAuthXOAuth2, "XOAUTH2 worked!", kMethodXOAuth2},
  };
  for (const OAuthAttempt& attempt : kChain) {
    host_.WriteLog(name_, attempt.announcement);
    pop3_.SetAuthType(attempt.type);
    if (pop3_.AuthSync()) {
      host_.WriteLog(name_, attempt.success);
      StoreAuthMethod(index, attempt.method);
      return;
    }
    LogServerAnswer();
  }
  host_.WriteLog(name_, "Could not log in!");
  OAuthLoginRefused(index, "OAUTHBEARER, XOAUTH2");
  outcome = CheckOutcome::NoMethodFound;
}

void MailChecker::OAuthLoginRefused(std::size_t index, std::string_view methods) {
  std::string answer = ServerAnswer();
  if (!pop3_.AuthErrorChallenge().empty()) answer += " " + pop3_.AuthErrorChallenge();
  report_.reason = Concat(Concat("the server refused the OAuth2 token (", methods), "): ") + answer;
  const AccountRecord* record = CheckedRecord(index);
  if (secretSource_ != nullptr && record != nullptr) secretSource_->LoginRefused(*record);
}

void MailChecker::LogServerAnswer() {
  std::string answer = PrintableAscii(pop3_.LastResponse(), 200);
  if (!pop3_.AuthErrorChallenge().empty()) answer += " " + pop3_.AuthErrorChallenge();
  if (!answer.empty()) host_.WriteLog(name_, "Server's answer: " + answer);
}

bool MailChecker::LoginStored(std::size_t index) {
  const std::string method = table_[index].PlainAuthMethod();
  bool ok = false;
  const char* failure = nullptr;
  const char* label = nullptr;
  if (oauth_) {
    const bool bearer = method == kMethodBearer;
    host_.WriteLog(name_,
                   bearer ? "Logging in using OAUTHBEARER..." : "Logging in using XOAUTH2...");
    pop3_.SetAuthType(bearer ? Pop3AuthType::popAuthOAuthBearer : Pop3AuthType::popAuthXOAuth2);
    if (pop3_.AuthSync()) {
      host_.WriteLog(name_, "Logged in!");
      return true;
    }
    host_.WriteLog(name_, bearer ? "OAUTHBEARER login failed!" : "XOAUTH2 login failed!");
    LogServerAnswer();
    OAuthLoginRefused(index, bearer ? "OAUTHBEARER" : "XOAUTH2");
    return false;
  }
  if (method == kMethodApop) {
    host_.WriteLog(name_, "Logging in using APOP...");
    ok = pop3_.APopSync();
    failure = "APOP login failed!";
    label = "APOP";
  } else if (method == kMethodSha1 || method == kMethodMd5 || method == kMethodLogin) {
    if (method == kMethodSha1) {
      host_.WriteLog(name_, "Logging in using CramSHA1...");
      pop3_.SetAuthType(Pop3AuthType::popAuthCramSHA1);
      failure = "CramSHA1 login failed!";
      label = "AUTH CRAM-SHA1";
    } else if (method == kMethodMd5) {
      host_.WriteLog(name_, "Logging in using CramMD5...");
      pop3_.SetAuthType(Pop3AuthType::popAuthCramMD5);
      failure = "CramMD5 login failed!";
      label = "AUTH CRAM-MD5";
    } else {
      host_.WriteLog(name_, "Logging in using AUTH LOGIN...");
      pop3_.SetAuthType(Pop3AuthType::popAuthLogin);
      failure = "AUTH LOGIN failed!";
      label = "AUTH LOGIN";
    }
    ok = pop3_.AuthSync();
  } else {
    host_.WriteLog(name_, "Logging in with regular cleartext user/pass...");
    pop3_.SetAuthType(Pop3AuthType::popAuthNone);
    ok = pop3_.UserSync() && pop3_.PassSync();
    failure = "Regular cleartext user/pass login failed!";
    label = "USER/PASS";
  }
  if (ok) {
    host_.WriteLog(name_, "Logged in!");
    return true;
  }
  host_.WriteLog(name_, failure);
  report_.reason = Concat(Concat("the server refused the login (", label), "): ") + ServerAnswer();
  return false;
}

void MailChecker::DetectNewMail(std::size_t index) {
  if (!pop3_.StatSync()) {
    host_.WriteLog(name_, "Unable to get stats...");
    return;
  }
  if (pop3_.MsgCount() == 0) {
    host_.WriteLog(name_, "No messages, quitting...");
    return;
  }
  LimitCheckTime();
  if (table_[index].LeavesMailOnServer()) {
    DetectWithSeenList(index);
  } else {
    DetectWholeMailbox();
  }
}

void MailChecker::LimitCheckTime() {
  std::int64_t seconds = host_.CheckDeadlineSeconds();
  if (seconds <= 0) {
    // Generous: four silences as long as the time-out, and a fifth of one
    // for every message on the server.
    const std::int64_t timeout = pop3_.Timeout() > 0 ? pop3_.Timeout() : kDefaultPop3Timeout;
    seconds = 4 * timeout + timeout * std::max<std::int32_t>(pop3_.MsgCount(), 0) / 5;
  }
  pop3_.LimitTotalTime(static_cast<std::uint64_t>(seconds) * 1000u);
}

std::string MailChecker::DisplayHeader(std::string_view raw) {
  try {
    return DecodeHeaderValue(raw);
  } catch (const ConvertException&) {
    // A stranger's malformed encoded word must not stop the checking: the
    // value is shown as it came.
    return std::string(raw);
  }
}

bool MailChecker::ShowMessage(std::int32_t n, std::int32_t size, std::string_view uidl) {
  pop3_.SetMsgLines(1);
  pop3_.SetMsgNum(n);
  if (!pop3_.TopSync()) return false;
  AddShownRow({n, size, uidl});
  return true;
}

void MailChecker::AddShownRow(const ShownMessage& message) {
  AddMailRow(name_, DisplayHeader(pop3_.HeaderFrom()), DisplayHeader(pop3_.HeaderSubject()),
             pop3_.HeaderDate(), message.size, message.uidl, pop3_.HeaderFrom(),
             pop3_.HeaderSubject());
}

bool MailChecker::ServerPipelines() {
  if (!pop3_.CapaAsked()) (void)pop3_.CapaSync();
  return pop3_.HasCapability("PIPELINING");
}

void MailChecker::ShowMessages(std::size_t count,
                               const std::function<ShownMessage(std::size_t)>& message) {
  if (count > 1 && host_.OptionChecked(CheckOption::AllMail) && pop3_.Connected() &&
      ServerPipelines()) {
    // The answers come in the order of the commands; each is turned into
    // its row while the client still holds it.
    pop3_.PipelineSync(
        count,
        [&](std::size_t i) {
          pop3_.SetMsgLines(1);
          pop3_.SetMsgNum(message(i).number);
          pop3_.Top();
        },
        [&](std::size_t i, bool succeeded) {
          if (succeeded) AddShownRow(message(i));
        });
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!pop3_.Connected()) break;
    if (!host_.OptionChecked(CheckOption::AllMail)) continue;
    const ShownMessage shown = message(i);
    ShowMessage(shown.number, shown.size, shown.uidl);
  }
}

MailChecker::ListingEnd MailChecker::ReadListing(bool identifiers,
                                                 const std::function<void(std::int32_t)>& onLine) {
  const std::int32_t messageCount = pop3_.MsgCount();
  std::int32_t previous = 0;
  bool outOfOrder = false;
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
    onLine(n);
  };
  pop3_.SetMsgNum(0);
  const bool complete = identifiers ? pop3_.UidlSync() : pop3_.ListSync();
  lineEvent = nullptr;
  if (outOfOrder || (!complete && pop3_.Connected())) return ListingEnd::kUnusable;
  return complete ? ListingEnd::kComplete : ListingEnd::kCut;
}

void MailChecker::DetectWithSeenList(std::size_t index) {
  std::string fileName = table_[index].PlainUidlFileName();
  if (!IsBareFileName(fileName)) {
    // An account stored without a usable seen-message file name (the editor
    // always gives one; a damaged accounts file may hold none, or a path that
    // leads out of the working directory): name it now, as the editor would,
    // so its mail is still told apart; the name reaches the accounts file
    // with the next save.
    fileName = MakeUidlFileName(name_, host_.TickCount());
    if (AccountRecord* record = CheckedRecord(index)) record->SetPlainUidlFileName(fileName);
  }
  const std::filesystem::path path(fileName);
  if (!ReadFileIfExists(path)) ReplaceFileAtomically(path, "");
  seenList_.LoadFromFile(path);

  Tally tally;
  if (!host_.FastListing() || !DetectFromListings(tally)) DetectOneByOne(tally);

  seenList_.MergeIntoFile(path);
  seenList_.Clear();
  if (tally.count == 0) {
    host_.WriteLog(name_, "No messages, quitting...");
    return;
  }
  ReportNewMail(name_, tally.count, tally.bytes, DetectionKind::SeenList);
}

bool MailChecker::DetectFromListings(Tally& tally) {
  // The new messages: their numbers, their sizes once known; their
  // identifiers are the entries appended to the seen list.
  struct NewMessage {
    std::int32_t number;
    std::int32_t size;
  };
  std::vector<NewMessage> news;
  const std::size_t seenBefore = seenList_.Count();
  const ListingEnd identifiers = ReadListing(true, [&](std::int32_t n) {
    if (seenList_.Contains(pop3_.MsgUidl())) return;
    seenList_.Append(pop3_.MsgUidl());
    news.push_back({n, 0});
  });
  if (identifiers == ListingEnd::kUnusable) {
    seenList_.TruncateTo(seenBefore);
    return false;
  }
  if (news.empty()) return true;
  PrepareMailList();
  tally.count = static_cast<std::int64_t>(news.size());

  // Sizes: one LIST for several, LIST n for one or when the listing fails.
  bool sized = false;
  if (news.size() > 1) {
    std::size_t next = 0;
    sized = ReadListing(false, [&](std::int32_t n) {
              while (next < news.size() && news[next].number < n) ++next;
              if (next < news.size() && news[next].number == n) news[next].size = pop3_.MsgSize();
            }) != ListingEnd::kUnusable;
  }
  for (NewMessage& message : news) {
    if (!sized) {
      pop3_.SetMsgNum(message.number);
      message.size = pop3_.ListSync() ? pop3_.MsgSize() : 0;
    }
    tally.bytes += message.size;
  }

  ShowMessages(news.size(), [&](std::size_t i) {
    return ShownMessage{news[i].number, news[i].size, seenList_[seenBefore + i]};
  });
  return true;
}

void MailChecker::DetectOneByOne(Tally& tally) {
  const std::int32_t messageCount = pop3_.MsgCount();
  int failuresInARow = 0;
  for (std::int64_t n = 1; n <= messageCount; ++n) {
    // Once the server has gone, every further command would be refused at
    // once; stop rather than walk the rest of a mailbox it claimed to have.
    if (!pop3_.Connected()) break;
    pop3_.SetMsgNum(static_cast<std::int32_t>(n));
    if (!pop3_.UidlSync()) {
      // A server that refuses identifier after identifier has none to give.
      if (++failuresInARow == kMaxFailuresInARow) break;
      continue;
    }
    failuresInARow = 0;
    if (seenList_.Contains(pop3_.MsgUidl())) continue;
    if (tally.count == 0) PrepareMailList();
    seenList_.Append(pop3_.MsgUidl());
    ++tally.count;
    const std::string& uidl = seenList_[seenList_.Count() - 1];

    std::int32_t size = 0;
    pop3_.SetMsgNum(static_cast<std::int32_t>(n));
    if (pop3_.ListSync()) {
      size = pop3_.MsgSize();
      tally.bytes += size;
    }
    if (host_.OptionChecked(CheckOption::AllMail)) {
      ShowMessage(static_cast<std::int32_t>(n), size, uidl);
    }
  }
}

void MailChecker::DetectWholeMailbox() {
  PrepareMailList();
  const std::int32_t messageCount = pop3_.MsgCount();
  const std::int64_t newBytes = pop3_.MsgSize();
  if (host_.OptionChecked(CheckOption::AllMail)) ShowWholeMailbox(messageCount);
  ReportNewMail(name_, messageCount, newBytes, DetectionKind::WholeMailbox);
}

void MailChecker::ShowWholeMailbox(std::int32_t messageCount) {
  // What the listings gave, in message order.
  std::vector<std::pair<std::int32_t, std::int32_t>> sizes;
  std::vector<std::pair<std::int32_t, std::string>> uidls;
  bool sizesListed = false;
  bool uidlsListed = false;
  if (host_.FastListing() && messageCount > 1) {
    sizesListed = ReadListing(false, [&](std::int32_t n) {
                    sizes.emplace_back(n, pop3_.MsgSize());
                  }) != ListingEnd::kUnusable;
    uidlsListed = ReadListing(true, [&](std::int32_t n) {
                    uidls.emplace_back(n, pop3_.MsgUidl());
                  }) != ListingEnd::kUnusable;
  }
  if (sizesListed && uidlsListed && sizes.size() == static_cast<std::size_t>(messageCount) &&
      uidls.size() == sizes.size()) {
    // Both listings name every message (each once, in order): nothing is
    // left to ask but the headers.
    ShowMessages(sizes.size(), [&](std::size_t i) {
      return ShownMessage{sizes[i].first, sizes[i].second, uidls[i].second};
    });
    return;
  }
  auto nextSize = sizes.begin();
  auto nextUidl = uidls.begin();
  int failuresInARow = 0;
  for (std::int64_t i = 1; i <= messageCount; ++i) {
    if (!pop3_.Connected()) break;
    const auto n = static_cast<std::int32_t>(i);
    // A message missing from a listing is one whose command failed.
    bool sized = false;
    std::int32_t size = 0;
    if (sizesListed) {
      while (nextSize != sizes.end() && nextSize->first < n) ++nextSize;
      sized = nextSize != sizes.end() && nextSize->first == n;
      if (sized) size = nextSize->second;
    } else {
      pop3_.SetMsgNum(n);
      sized = pop3_.ListSync();
      if (sized) size = pop3_.MsgSize();
    }
    bool identified = false;
    std::string uidl;
    if (uidlsListed) {
      while (nextUidl != uidls.end() && nextUidl->first < n) ++nextUidl;
      identified = nextUidl != uidls.end() && nextUidl->first == n;
      if (identified) uidl = nextUidl->second;
    } else {
      pop3_.SetMsgNum(n);
      identified = pop3_.UidlSync();
      if (identified) uidl = pop3_.MsgUidl();
    }
    const bool shown = ShowMessage(n, size, uidl);
    // A server that answers nothing about message after message has no more
    // to show, whatever number STAT gave.
    failuresInARow = sized || identified || shown ? 0 : failuresInARow + 1;
    if (failuresInARow == kMaxFailuresInARow) break;
  }
}

void MailChecker::PrepareMailList() {
  if (!flags_.NewMailPending) mailList_.Clear();
}

void MailChecker::AddMailRow(std::string_view account, std::string_view from,
                             std::string_view subject, std::string_view date, std::int64_t size,
                             std::string_view uidl, std::string_view rawFrom,
                             std::string_view rawSubject) {
  for (const MailRow& row : mailList_.Rows()) {
    if (row.account == account && row.uidl == uidl) return;
  }
  mailList_.Append(MailRow{std::string(account), std::string(from), std::string(subject),
                           std::string(date), std::to_string(size), std::string(uidl),
                           std::string(rawFrom), std::string(rawSubject)});
}

void MailChecker::AddOverviewRow(std::string_view account, std::string_view subject,
                                 std::int64_t size) {
  const auto& rows = mailList_.Rows();
  std::size_t found = rows.size();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].account == account) {
      found = i;
      break;
    }
  }
  mailList_.Append(MailRow{std::string(account),
                           "",
                           std::string(subject),
                           host_.NowDateTimeText(),
                           std::to_string(size),
                           "",
                           {},
                           {}});
  if (found < mailList_.Count() - 1) mailList_.Delete(found);
}

void MailChecker::ReportNewMail(std::string_view account, std::int64_t count, std::int64_t bytes,
                                DetectionKind kind) {
  if (!host_.OptionChecked(CheckOption::AllMail)) {
    if (kind == DetectionKind::SeenList) PrepareMailList();
    AddOverviewRow(account, count == 1 ? "One new mail!" : std::to_string(count) + " new mails!",
                   bytes);
  }
  const std::string countText = std::to_string(count) + " new mails!";
  const std::string bytesText = " (" + std::to_string(bytes) + " bytes)";
  const std::string logLine = kind == DetectionKind::SeenList ? countText + bytesText : countText;
  host_.WriteLog(account, logLine);
  report_.newCount = count;
  report_.newBytes = bytes;
  if (host_.OptionChecked(CheckOption::Balloon)) {
    const std::string text = kind == DetectionKind::SeenList ? logLine
                                                             : "You have " + std::to_string(count) +
                                                                   " new messages!" + bytesText;
    host_.BalloonNotify(Concat("New mail on ", account), text, kBalloonInfo, 15);
  }
  flags_.NewMailPending = true;
  if (flags_.WindowInTray) host_.SetMailAnimation(true);
}

}  // namespace corvel
