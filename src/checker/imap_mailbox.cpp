#include "checker/imap_mailbox.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "checker/seen_list.h"
#include "codec/ascii.h"
#include "net/socket_errors.h"
#include "net/tls_socket.h"
#include "pop3/header_capture.h"

namespace corvel {
namespace {

// UIDs asked for in one FETCH: a command line of a few kilobytes at most,
// and a bound on the headers held while an answer comes out of order.
constexpr std::size_t kFetchPiece = 200;

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsPattern(std::string_view folder) { return folder.find_first_of("*%") != std::string::npos; }

// INBOX is INBOX in any letter case; every other name is the server's own.
std::string CanonicalFolder(std::string_view name) {
  return EqualsIgnoreAsciiCase(name, "INBOX") ? std::string("INBOX") : std::string(name);
}

// The header fields of a message's header block, as the check shows them.
Pop3HeaderFields CaptureHeaders(std::string_view block) {
  Pop3HeaderFields fields;
  fields.Reset();
  while (!block.empty() && fields.inHeader) {
    const std::size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    block = end == std::string_view::npos ? std::string_view() : block.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    CaptureHeaderLine(fields, line);
  }
  return fields;
}

}  // namespace

std::optional<ImapAuthMechanism> ImapMechanismOf(std::string_view method, bool oauth) {
  if (oauth) {
    if (method == kImapMethodBearer) return ImapAuthMechanism::imapAuthOAuthBearer;
    if (method == kImapMethodXOAuth2) return ImapAuthMechanism::imapAuthXOAuth2;
    return std::nullopt;
  }
  if (method == kImapMethodCramMd5) return ImapAuthMechanism::imapAuthCramMD5;
  if (method == kImapMethodPlain) return ImapAuthMechanism::imapAuthPlain;
  if (method == kImapMethodLogin) return ImapAuthMechanism::imapAuthLogin;
  return std::nullopt;
}

SocketTlsMode ImapTlsModeFor(std::uint8_t securityMode, std::int32_t port) {
  if (securityMode == kSecurityTls) return SocketTlsMode::tlsImplicit;
  if (securityMode == kSecurityAuto && port == kImapsPort) return SocketTlsMode::tlsImplicit;
  return SocketTlsMode::tlsOff;
}

void ImapMailbox::Begin(const AccountRecord& record, MailboxCheck& check) {
  check_ = &check;
  server_ = record.PlainServer();
  port_ = std::to_string(record.Port);
  securityMode_ = record.SecurityMode();
  oauth_ = record.UsesOAuth();
  leaveMail_ = record.LeavesMailOnServer();
  authMethod_ = record.PlainAuthMethod();
  watched_.clear();
  nextFolder_ = 0;
  imap_.SetHost(server_);
  imap_.SetPort(port_);
  imap_.SetUserName(record.PlainUserName());
  imap_.SetTlsMode(ImapTlsModeFor(securityMode_, record.Port));
  imap_.SetTlsHostName("");  // the server's name as typed
}

bool ImapMailbox::Protected() const {
  return securityMode_ != kSecurityAuto || imap_.TlsMode() != SocketTlsMode::tlsOff;
}

bool ImapMailbox::Connect(std::string& reason) {
  if (imap_.ConnectSync()) return true;
  reason = ConnectFailureReason(LogTlsFailure(false));
  return false;
}

void ImapMailbox::LogOut() {
  // The logout has its own time-out, whatever time the check has left.
  imap_.LimitTotalTime(std::nullopt);
  (void)imap_.LogoutSync();
  imap_.SetHost("");
  imap_.SetUserName("");
  imap_.SetPassWord("");
  imap_.OnFetched = nullptr;
  watched_.clear();
}

// ---- Logging in.

std::string ImapMailbox::LogTlsFailure(bool startTls) {
  std::string why;
  const std::uint16_t code = imap_.RequestResult();
  if (code == kTlsHandshakeFailed || code == kTlsProtocolError) {
    why = imap_.TlsFailureReason().empty() ? SocketErrorText(code) : imap_.TlsFailureReason();
  } else if (!startTls) {
    return why;  // a plain connection failure
  } else if (code == kImapRefused) {
    why = "server does not offer STARTTLS";
  } else {
    why = imap_.ErrorMessage().empty() ? "STARTTLS did not complete" : imap_.ErrorMessage();
  }
  check_->Log("TLS failed: " + why);
  return why;
}

std::string ImapMailbox::ConnectFailureReason(const std::string& tls) const {
  const std::string where = server_ + ":" + port_;
  if (tls == kTlsNotTlsReason) {
    return "TLS failed: " + tls + "; this port speaks plain text: use --security starttls, " +
           "or the server's TLS port";
  }
  if (!tls.empty()) return "TLS failed: " + tls;
  if (imap_.TimedOutIn() != ImapEngineState::imapReady) {
    const std::string seconds = std::to_string(imap_.Timeout()) + " s";
    if (imap_.TimedOutIn() != ImapEngineState::imapWaitingGreeting) {
      return "no answer from " + where + " within " + seconds;
    }
    // Connected, and silence: the usual sign of a server that waits for the
    // client to begin TLS.
    if (imap_.TlsMode() == SocketTlsMode::tlsOff) {
      return "the server did not greet within " + seconds +
             "; port 993-style servers need --security tls";
    }
    return "the server did not greet within " + seconds;
  }
  switch (imap_.RequestResult()) {
    case kImapRefused:
      return "the server refused the connection: " + imap_.ErrorMessage();
    case kImapBadAnswer:
      return imap_.ErrorMessage();
    case kImapConnectionClosed:
      return where + " closed the connection before greeting";
    default:
      return "cannot connect to " + where + ": " + SocketErrorText(imap_.RequestResult());
  }
}

std::string ImapMailbox::ServerAnswer() const {
  if (imap_.TimedOutIn() != ImapEngineState::imapReady) {
    return "no answer within " + std::to_string(imap_.Timeout()) + " s";
  }
  if (imap_.ErrorMessage().empty()) return "the connection ended";
  return PrintableAscii(imap_.ErrorMessage(), 300);
}

bool ImapMailbox::StartTlsIfRequired(std::string& reason) {
  if (securityMode_ != kSecurityStartTls) return true;
  // STARTTLS is sent whether or not the server lists it: a server without it
  // answers BAD, and the account then fails rather than log in in clear.
  if (imap_.StartTlsSync() && imap_.TlsActive()) return true;
  reason = "TLS failed: " + LogTlsFailure(true);
  return false;
}

CheckOutcome ImapMailbox::LogIn(std::string& reason) {
  if (!StartTlsIfRequired(reason)) return CheckOutcome::TlsFailed;
  if (imap_.ProtocolState() == ImapProtocolState::imapAuthenticated) {
    // PREAUTH: the server knows the user already (a connection it trusts).
    check_->Log("Logged in!");
    LoggedIn();
    return CheckOutcome::Checked;
  }
  // A word stored for another protocol or login kind is found again.
  if (!ImapMechanismOf(authMethod_, oauth_)) return Discover(reason);
  return LoginStored(reason);
}

void ImapMailbox::LoggedIn() {
  // Mailbox names in UTF-8 where the server takes them; a refusal leaves
  // them in modified UTF-7, which every server takes.
  (void)imap_.EnableUtf8Sync();
}

CheckOutcome ImapMailbox::Discover(std::string& reason) {
  check_->Log("Trying to figure out AUTH type...");
  struct Attempt {
    const char* announcement;
    ImapAuthMechanism mechanism;
    const char* success;
    std::string_view method;
    const char* capability;  // what the server announces for it
  };
  static constexpr Attempt kOAuth[] = {
      {"Trying OAUTHBEARER...", ImapAuthMechanism::imapAuthOAuthBearer, "OAUTHBEARER worked!",
       kImapMethodBearer, "AUTH=OAUTHBEARER"},
      {"Trying XOAUTH2...", ImapAuthMechanism::imapAuthXOAuth2, "XOAUTH2 worked!",
       kImapMethodXOAuth2, "AUTH=XOAUTH2"},
  };
  static constexpr Attempt kPassword[] = {
      {"Trying CramMD5...", ImapAuthMechanism::imapAuthCramMD5, "CramMD5 worked!",
       kImapMethodCramMd5, "AUTH=CRAM-MD5"},
      {"Trying AUTHENTICATE PLAIN...", ImapAuthMechanism::imapAuthPlain,
       "AUTHENTICATE PLAIN worked!", kImapMethodPlain, "AUTH=PLAIN"},
      {"Trying LOGIN...", ImapAuthMechanism::imapAuthLogin, "LOGIN worked!", kImapMethodLogin,
       nullptr},
  };
  // The strongest announced method first. An OAuth2 account tries both
  // mechanisms when the server announces neither (some do not say).
  std::vector<const Attempt*> attempts;
  for (const Attempt& attempt : oauth_ ? std::span<const Attempt>(kOAuth) : kPassword) {
    const bool offered = attempt.capability != nullptr ? imap_.HasCapability(attempt.capability)
                                                       : !imap_.HasCapability("LOGINDISABLED");
    if (offered) attempts.push_back(&attempt);
  }
  if (oauth_ && attempts.empty()) {
    for (const Attempt& attempt : kOAuth) attempts.push_back(&attempt);
  }
  if (attempts.empty()) {
    check_->Log("Could not log in!");
    reason =
        "the server allows no login on this connection (LOGINDISABLED): use --security "
        "starttls or tls";
    return CheckOutcome::NoMethodFound;
  }
  std::string answer;
  for (const Attempt* attempt : attempts) {
    check_->Log(attempt->announcement);
    if (imap_.LoginSync(attempt->mechanism)) {
      check_->Log(attempt->success);
      check_->RememberAuthMethod(attempt->method);
      return CheckOutcome::MethodDiscovered;
    }
    if (oauth_) LogServerAnswer();
    answer = ServerAnswer();
    if (attempt != attempts.back() && !StillConnected(reason)) {
      return CheckOutcome::ReconnectFailed;
    }
  }
  check_->Log("Could not log in!");
  if (oauth_) {
    reason = OAuthLoginRefused("OAUTHBEARER, XOAUTH2");
  } else {
    reason =
        "no login method worked (is the user name or password wrong?); the server said: " + answer;
  }
  return CheckOutcome::NoMethodFound;
}

bool ImapMailbox::StillConnected(std::string& reason) {
  if (imap_.Connected()) return true;
  // Some servers hang up after a refused login.
  check_->Log("The server closed the connection, connect again.");
  if (!imap_.ConnectSync()) {
    reason = ConnectFailureReason(LogTlsFailure(false));
    return false;
  }
  check_->Log("Connected to " + server_);
  return StartTlsIfRequired(reason);
}

CheckOutcome ImapMailbox::LoginStored(std::string& reason) {
  struct Row {
    std::string_view method;
    ImapAuthMechanism mechanism;
    const char* announcement;
    const char* failure;
    const char* label;
  };
  static constexpr Row kRows[] = {
      {kImapMethodCramMd5, ImapAuthMechanism::imapAuthCramMD5, "Logging in using CramMD5...",
       "CramMD5 login failed!", "AUTHENTICATE CRAM-MD5"},
      {kImapMethodPlain, ImapAuthMechanism::imapAuthPlain, "Logging in using AUTHENTICATE PLAIN...",
       "AUTHENTICATE PLAIN login failed!", "AUTHENTICATE PLAIN"},
      {kImapMethodLogin, ImapAuthMechanism::imapAuthLogin, "Logging in with LOGIN...",
       "LOGIN failed!", "LOGIN"},
      {kImapMethodBearer, ImapAuthMechanism::imapAuthOAuthBearer, "Logging in using OAUTHBEARER...",
       "OAUTHBEARER login failed!", "OAUTHBEARER"},
      {kImapMethodXOAuth2, ImapAuthMechanism::imapAuthXOAuth2, "Logging in using XOAUTH2...",
       "XOAUTH2 login failed!", "XOAUTH2"},
  };
  const Row* row = &kRows[0];
  for (const Row& candidate : kRows) {
    if (candidate.method == authMethod_) row = &candidate;
  }
  check_->Log(row->announcement);
  if (imap_.LoginSync(row->mechanism)) {
    check_->Log("Logged in!");
    LoggedIn();
    return CheckOutcome::Checked;
  }
  check_->Log(row->failure);
  if (oauth_) {
    LogServerAnswer();
    reason = OAuthLoginRefused(row->label);
  } else {
    reason = std::string("the server refused the login (") + row->label + "): " + ServerAnswer();
  }
  return CheckOutcome::LoginFailed;
}

void ImapMailbox::LogServerAnswer() {
  std::string answer = PrintableAscii(imap_.ErrorMessage(), 200);
  if (!imap_.AuthErrorChallenge().empty()) answer += " " + imap_.AuthErrorChallenge();
  if (!answer.empty()) check_->Log("Server's answer: " + answer);
}

std::string ImapMailbox::OAuthLoginRefused(std::string_view methods) {
  std::string answer = ServerAnswer();
  if (!imap_.AuthErrorChallenge().empty()) answer += " " + imap_.AuthErrorChallenge();
  check_->TokenRefused();
  return "the server refused the OAuth2 token (" + std::string(methods) + "): " + answer;
}

// ---- Looking.

std::vector<std::string> ImapMailbox::WatchedFolders() {
  std::vector<std::string> watched;
  auto add = [&watched](std::string name) {
    if (std::find(watched.begin(), watched.end(), name) == watched.end()) {
      watched.push_back(std::move(name));
    }
  };
  for (const std::string& folder : folders_) {
    if (!IsPattern(folder)) add(CanonicalFolder(folder));
  }
  for (const std::string& pattern : folders_) {
    if (!IsPattern(pattern)) continue;
    if (!imap_.ListSync(pattern)) {
      check_->Log("Unable to list the folders " + pattern + ": " + ServerAnswer());
      continue;
    }
    for (const ImapListEntry& entry : imap_.ListEntries()) {
      // Junk and deleted mail is no news; mailboxes that cannot be opened
      // are no mailboxes.
      if (entry.Has("\\Junk") || entry.Has("\\Trash") || entry.Has("\\Noselect") ||
          entry.Has("\\NonExistent")) {
        continue;
      }
      add(CanonicalFolder(entry.name));
    }
  }
  return watched;
}

bool ImapMailbox::Stat(MailboxStats& stats) {
  watched_.clear();
  for (const std::string& name : WatchedFolders()) {
    if (!imap_.ExamineSync(name)) {
      check_->Log("Unable to open " + name + ": " + ServerAnswer());
      if (!imap_.Connected()) break;
      continue;
    }
    if (imap_.UidValidity() == 0) {
      // Without it the messages cannot be told apart from check to check.
      check_->Log("The server gives no UIDVALIDITY for " + name + ": it is not watched");
      continue;
    }
    watched_.push_back({name, imap_.Exists(), imap_.UidValidity(), imap_.UidNext()});
    stats.count += imap_.Exists();
  }
  if (watched_.empty()) return false;
  if (!leaveMail_) {
    // Every message counts: the bytes are those of all of them.
    for (const Folder& folder : watched_) {
      if (folder.exists == 0 || !Open(folder) || !imap_.SearchAllUidsSync()) continue;
      FetchInPieces(imap_.Uids(), false, [&stats](const ImapFetchedMessage& message) {
        stats.bytes += static_cast<std::int64_t>(message.size.value_or(0));
      });
    }
    return true;
  }
  // With no mail at all the listing still runs, so that the UIDVALIDITY of
  // every folder is recorded: a folder renumbered while empty is then not
  // taken for renumbered again when its first message arrives.
  if (stats.count == 0) stats.count = 1;
  return true;
}

bool ImapMailbox::Open(const Folder& folder) {
  if (imap_.ProtocolState() == ImapProtocolState::imapSelected && imap_.Mailbox() == folder.name) {
    return true;
  }
  if (imap_.ExamineSync(folder.name)) return true;
  check_->Log("Unable to open " + folder.name + ": " + ServerAnswer());
  return false;
}

std::string ImapMailbox::Identifier(const Folder& folder, std::uint32_t uid) const {
  return folder.name + "/" + std::to_string(folder.uidValidity) + "/" + std::to_string(uid);
}

std::string ImapMailbox::WholeListingMark(const Folder& folder) {
  return folder.name + "/" + std::to_string(folder.uidValidity) + "/UIDNEXT " +
         std::to_string(folder.uidNext);
}

bool ImapMailbox::UnchangedSince(const std::function<bool(std::string_view entry)>& holds) const {
  return !watched_.empty() && std::ranges::all_of(watched_, [&holds](const Folder& folder) {
    return folder.uidNext != 0 && holds(WholeListingMark(folder));
  });
}

void ImapMailbox::BeginListing(const ListingRequest& request) {
  request_ = request;
  nextFolder_ = 0;
  listedEntries_ = 0;
  listedBytes_ = 0;
  wholeListing_.clear();
}

ListingEnd ImapMailbox::NextBatch(std::vector<MailboxEntry>& batch) {
  batch.clear();
  if (nextFolder_ >= watched_.size()) return ListingEnd::kComplete;
  const std::size_t index = nextFolder_++;
  Folder& folder = watched_[index];
  const ListingEnd done =
      nextFolder_ == watched_.size() ? ListingEnd::kComplete : ListingEnd::kMore;

  std::vector<std::uint32_t> uids;
  if (folder.exists > 0) {
    if (!Open(folder)) return imap_.Connected() ? done : ListingEnd::kCut;
    // Opened again: the UIDVALIDITY and UIDNEXT are now's.
    folder.uidValidity = imap_.UidValidity();
    folder.uidNext = imap_.UidNext();
    if (!imap_.SearchAllUidsSync()) {
      check_->Log("Unable to list " + folder.name + ": " + ServerAnswer());
      return imap_.Connected() ? done : ListingEnd::kCut;
    }
    uids = imap_.Uids();
  }

  bool renumbered = false;
  if (request_.seen != nullptr) {
    // The UIDVALIDITY values this folder's entries were recorded with. An
    // entry of another folder whose name begins with this one's ("Lists" and
    // "Lists/dev") has no number where the UIDVALIDITY stands.
    const std::string prefix = folder.name + "/";
    const std::string validity = std::to_string(folder.uidValidity);
    bool known = false;
    bool current = false;
    std::string before;
    const SeenList& seen = *request_.seen;
    for (std::size_t i = 0; i < seen.Count(); ++i) {
      const std::string_view entry = seen[i];
      if (!entry.starts_with(prefix)) continue;
      const std::string_view rest = entry.substr(prefix.size());
      const std::size_t slash = rest.find('/');
      if (slash == std::string_view::npos) continue;
      const std::string_view value = rest.substr(0, slash);
      const std::string_view uid = rest.substr(slash + 1);
      if (!IsDigits(value) || (!uid.empty() && !IsDigits(uid))) continue;
      known = true;
      if (value == validity) {
        current = true;
        break;
      }
      before = std::string(value);
    }
    renumbered = known && !current;
    if (renumbered) {
      check_->Log("The UIDVALIDITY of " + folder.name + " changed from " + before + " to " +
                  validity + ": its messages are taken as seen");
    }
    const std::string marker = prefix + validity + "/";
    if (!seen.Contains(marker)) batch.push_back({marker, 0, false, true, 0});
  }
  for (std::uint32_t uid : uids) {
    MailboxEntry entry;
    entry.id = Identifier(folder, uid);
    entry.recordOnly = renumbered;
    entry.ref = (static_cast<std::uint64_t>(index) << 32) | uid;
    listedBytes_ += entry.id.size();
    if (++listedEntries_ > request_.maxEntries || listedBytes_ > request_.maxBytes) {
      batch.clear();
      nextFolder_ = watched_.size();
      return ListingEnd::kTooLarge;
    }
    batch.push_back(std::move(entry));
  }
  if (request_.everyMessage && !uids.empty() && !FetchSizes(batch)) return ListingEnd::kCut;
  if (folder.uidNext != 0) wholeListing_.push_back(WholeListingMark(folder));
  return done;
}

bool ImapMailbox::FetchInPieces(const std::vector<std::uint32_t>& uids, bool headers,
                                const std::function<void(const ImapFetchedMessage&)>& onFetched) {
  imap_.OnFetched = onFetched;
  bool all = true;
  for (std::size_t first = 0; first < uids.size() && imap_.Connected(); first += kFetchPiece) {
    const std::vector<std::uint32_t> piece(
        uids.begin() + static_cast<std::ptrdiff_t>(first),
        uids.begin() + static_cast<std::ptrdiff_t>(std::min(uids.size(), first + kFetchPiece)));
    all = (headers ? imap_.FetchHeadersSync(piece) : imap_.FetchSizesSync(piece)) && all;
  }
  imap_.OnFetched = nullptr;
  return all;
}

bool ImapMailbox::FetchSizes(std::span<MailboxEntry> entries) {
  std::unordered_map<std::uint32_t, MailboxEntry*> byUid;
  std::vector<std::uint32_t> uids;
  for (MailboxEntry& entry : entries) {
    if (entry.sized || entry.recordOnly) continue;
    const auto uid = static_cast<std::uint32_t>(entry.ref & 0xFFFFFFFFu);
    if (uid == 0) continue;
    byUid[uid] = &entry;
    uids.push_back(uid);
  }
  FetchInPieces(uids, false, [&byUid](const ImapFetchedMessage& message) {
    const auto found = byUid.find(message.uid);
    if (found == byUid.end() || !message.size) return;
    found->second->size = static_cast<std::int64_t>(*message.size);
    found->second->sized = true;
  });
  return imap_.Connected();
}

bool ImapMailbox::FetchHeaders(std::span<const MailboxEntry> entries,
                               const HeadersEvent& onHeaders) {
  bool stopped = false;
  for (std::size_t first = 0; first < entries.size() && !stopped && imap_.Connected();
       first += kFetchPiece) {
    const std::size_t end = std::min(entries.size(), first + kFetchPiece);
    std::vector<std::uint32_t> uids;
    std::unordered_map<std::uint32_t, std::size_t> indexOf;
    for (std::size_t i = first; i < end; ++i) {
      const auto uid = static_cast<std::uint32_t>(entries[i].ref & 0xFFFFFFFFu);
      if (uid == 0 || indexOf.contains(uid)) continue;
      indexOf[uid] = i;
      uids.push_back(uid);
    }
    // The rows follow the entries' order whatever order the answers take:
    // an answer that comes early waits for those before it.
    std::map<std::size_t, Pop3HeaderFields> early;
    std::size_t next = first;
    auto deliver = [&](std::size_t index, const Pop3HeaderFields& fields) {
      if (stopped) return;
      if (!onHeaders(index, MessageHeaders{fields.from, fields.subject, fields.date})) {
        stopped = true;
      }
    };
    auto flush = [&](bool all) {
      while (!early.empty() && (all || early.begin()->first == next)) {
        deliver(early.begin()->first, early.begin()->second);
        next = early.begin()->first + 1;
        early.erase(early.begin());
      }
    };
    imap_.OnFetched = [&](const ImapFetchedMessage& message) {
      const auto found = indexOf.find(message.uid);
      // A header that did not come whole gives no row.
      if (found == indexOf.end() || !message.headerComplete) return;
      const std::size_t index = found->second;
      indexOf.erase(found);
      if (index < next) return;
      early.emplace(index, CaptureHeaders(message.header));
      // Entries before this one without an answer yet hold it back only
      // until the answer to this piece ends.
      flush(false);
    };
    (void)imap_.FetchHeadersSync(uids);
    imap_.OnFetched = nullptr;
    flush(true);
  }
  return imap_.Connected();
}

}  // namespace corvel
