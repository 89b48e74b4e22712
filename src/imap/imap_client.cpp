#include "imap/imap_client.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "codec/ascii.h"
#include "codec/base64.h"
#include "codec/sasl.h"
#include "imap/mailbox_name.h"
#include "net/socket_errors.h"

namespace corvel {
namespace {

using ES = ImapEngineState;
using PS = ImapProtocolState;
using RQ = ImapRequest;

// Capabilities kept from one announcement; a server listing more is not
// believed about the rest, which only makes the client do without them.
constexpr std::size_t kMaxCapabilities = 256;
// Mailboxes kept from one LIST answer.
constexpr std::size_t kMaxListEntries = 100000;
// A quoted string longer than this goes as a literal.
constexpr std::size_t kMaxQuoted = 1000;
// LITERAL- (RFC 7888) lets literals up to this size go without waiting.
constexpr std::size_t kLiteralMinusLimit = 4096;
// A search may find a few more messages than the mailbox had when it was
// opened (mail arriving meanwhile), never millions more.
constexpr std::uint64_t kSearchSlack = 100000;

constexpr char kHeaderFields[] = "BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE)]";

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::optional<std::uint32_t> NonZeroNumber(const ImapValue& value) {
  const std::optional<std::uint64_t> number = value.Number();
  if (!number || *number == 0 || *number > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*number);
}

std::uint32_t CodeNumber(std::string_view text) {
  ImapValue value;
  value.text = std::string(text.substr(0, text.find(' ')));
  return NonZeroNumber(value).value_or(0);
}

// A character that may stand in an atom as the client sends it: printable
// ASCII without the atom-specials (RFC 3501: "(" ")" "{" SP "%" "*" DQUOTE
// "\" and "]").
bool IsAtomChar(char c) {
  return c > 0x20 && c < 0x7F && std::string_view("(){%*\"\\]").find(c) == std::string_view::npos;
}

// "1:3,5,7:9" for the sorted UIDs.
std::string SequenceSet(const std::vector<std::uint32_t>& uids) {
  std::string set;
  for (std::size_t i = 0; i < uids.size();) {
    std::size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!set.empty()) set += ',';
    set += std::to_string(uids[i]);
    if (j > i) set += ':' + std::to_string(uids[j]);
    i = j + 1;
  }
  return set;
}

// The numbers of a sequence set the server sent ("1:3,5"), at most `limit`
// of them; false when the text is no sequence set or holds more.
bool ExpandSequenceSet(std::string_view text, std::uint64_t limit,
                       std::vector<std::uint32_t>& out) {
  auto number = [](std::string_view digits) -> std::optional<std::uint32_t> {
    ImapValue value;
    value.text = std::string(digits);
    return NonZeroNumber(value);
  };
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t colon = part.find(':');
    const std::optional<std::uint32_t> first = number(part.substr(0, colon));
    const std::optional<std::uint32_t> last =
        colon == std::string_view::npos ? first : number(part.substr(colon + 1));
    if (!first || !last) return false;
    const std::uint32_t low = std::min(*first, *last);
    const std::uint32_t high = std::max(*first, *last);
    if (out.size() + (static_cast<std::uint64_t>(high) - low + 1) > limit) return false;
    for (std::uint64_t uid = low; uid <= high; ++uid)
      out.push_back(static_cast<std::uint32_t>(uid));
  }
  return true;
}

}  // namespace

bool ImapListEntry::Has(std::string_view attribute) const {
  return std::any_of(attributes.begin(), attributes.end(),
                     [&](const std::string& a) { return EqualsIgnoreAsciiCase(a, attribute); });
}

// Builds a command's text: atoms as they are, strings as atoms, quoted
// strings or literals, whichever the bytes allow.
class ImapClient::CommandBuilder {
 public:
  CommandBuilder(std::string_view word, const ImapClient& client)
      : literalPlus_(client.HasCapability("LITERAL+")),
        literalMinus_(client.HasCapability("LITERAL-")),
        utf8_(client.utf8Names_) {
    command_.pieces.emplace_back(word);
  }

  CommandBuilder& Atom(std::string_view text) {
    std::string& piece = command_.pieces.back();
    piece += ' ';
    piece += text;
    return *this;
  }

  CommandBuilder& String(std::string_view value) {
    std::string& piece = command_.pieces.back();
    piece += ' ';
    const bool atom = !value.empty() && !EqualsIgnoreAsciiCase(value, "NIL") &&
                      std::all_of(value.begin(), value.end(), IsAtomChar);
    if (atom) {
      piece += value;
      return *this;
    }
    if (Quotable(value)) {
      piece += '"';
      for (char c : value) {
        if (c == '"' || c == '\\') piece += '\\';
        piece += c;
      }
      piece += '"';
      return *this;
    }
    const bool waitless = literalPlus_ || (literalMinus_ && value.size() <= kLiteralMinusLimit);
    piece += '{' + std::to_string(value.size()) + (waitless ? "+}" : "}");
    if (waitless) {
      piece += "\r\n";
      piece += value;
    } else {
      command_.pieces.emplace_back(value);
    }
    return *this;
  }

  // What the trace shows instead of the command, which carries a secret.
  CommandBuilder& Shown(std::string shown) {
    command_.shown = std::move(shown);
    return *this;
  }

  Command Finish() { return std::move(command_); }

 private:
  [[nodiscard]] bool Quotable(std::string_view value) const {
    if (value.size() > kMaxQuoted) return false;
    bool eightBit = false;
    for (char c : value) {
      if (c == '\0' || c == '\r' || c == '\n') return false;
      if (static_cast<unsigned char>(c) >= 0x80) eightBit = true;
    }
    // Quoted strings are 7-bit until UTF-8 has been enabled.
    return !eightBit || (utf8_ && IsWellFormedUtf8(value));
  }

  Command command_;
  bool literalPlus_;
  bool literalMinus_;
  bool utf8_;
};

ImapClient::ImapClient(EventLoop& loop)
    : loop_(loop), socket_(std::make_unique<AsyncSocket>(loop)), alive_(std::make_shared<int>(0)) {
  socket_->OnSessionClosed = [this](std::uint16_t errCode) { HandleSessionClosed(errCode); };
  socket_->OnTlsHandshakeDone = [this](std::uint16_t errCode) { HandleTlsHandshakeDone(errCode); };
}

ImapClient::~ImapClient() {
  alive_.reset();
  DisarmTimer();
  // The socket may still report its close while it is being destroyed; the
  // client is half gone by then and must not hear of it.
  socket_->OnDnsLookupDone = nullptr;
  socket_->OnSessionConnected = nullptr;
  socket_->OnDataAvailable = nullptr;
  socket_->OnSessionClosed = nullptr;
  socket_->OnTlsHandshakeDone = nullptr;
  socket_.reset();
}

bool ImapClient::TlsActive() const { return socket_->TlsActive(); }

const std::string& ImapClient::TlsFailureReason() const { return socket_->TlsFailureReason(); }

bool ImapClient::HasCapability(std::string_view name) const {
  return std::any_of(capabilities_.begin(), capabilities_.end(),
                     [&](const std::string& c) { return EqualsIgnoreAsciiCase(c, name); });
}

// ---- State and small routines.

void ImapClient::SetState(ImapEngineState state) {
  if (state == state_) return;
  state_ = state;
  if (OnStateChange) OnStateChange();
}

void ImapClient::EnsureReady() const {
  if (requestRunning_ || state_ != ES::imapReady) throw ImapException("IMAP component not ready");
}

void ImapClient::EnsureConnected() const {
  if (!connected_) throw ImapException("IMAP component not connected");
}

void ImapClient::EnsureProtocolState(ImapProtocolState least, const char* command) const {
  EnsureReady();
  EnsureConnected();
  const bool fits =
      least == PS::imapNotAuthenticated ? protocolState_ == least : protocolState_ >= least;
  if (!fits) throw ImapException(std::string(command) + " command invalid now");
}

void ImapClient::BeginRequest(ImapRequest request) {
  request_ = request;
  requestRunning_ = true;
  requestResult_ = 0;
  errorMessage_.clear();
  timedOutIn_ = ES::imapReady;
  ArmTimer();
}

ImapClient::CommandBuilder ImapClient::Build(std::string_view word) const {
  return CommandBuilder(word, *this);
}

void ImapClient::SendCommand(Command command, Handler onOk, Handler onContinuation) {
  tag_ = "a" + std::to_string(++tagCounter_);
  onOk_ = onOk;
  onContinuation_ = onContinuation;
  capabilitiesFresh_ = false;
  piecesLeft_.assign(std::make_move_iterator(command.pieces.begin() + 1),
                     std::make_move_iterator(command.pieces.end()));
  std::string shown = tag_ + " " + (command.shown.empty() ? command.pieces[0] : command.shown);
  SetState(ES::imapWaitingReply);
  SendLine(tag_ + " " + command.pieces[0], shown);
}

void ImapClient::SendLine(const std::string& line, const std::string& shown) {
  if (OnDisplay) OnDisplay("> " + shown);
  try {
    socket_->SendText(line + "\r\n");
  } catch (const std::exception& e) {
    // The connection went between the last event and this command.
    RequestDone(kImapConnectionClosed, e.what());
  }
}

std::string ImapClient::EncodeMailbox(std::string_view name) const {
  // INBOX is INBOX in any letter case (RFC 3501, 5.1).
  if (EqualsIgnoreAsciiCase(name, "INBOX")) return "INBOX";
  if (utf8Names_) {
    if (!IsWellFormedUtf8(name)) throw ImapException("A mailbox name that is not UTF-8");
    return std::string(name);
  }
  std::optional<std::string> encoded = EncodeModifiedUtf7(name);
  if (!encoded) throw ImapException("A mailbox name that is not UTF-8");
  return std::move(*encoded);
}

std::string ImapClient::DecodeMailbox(std::string_view wireName) const {
  if (utf8Names_) return std::string(wireName);
  // A name the server did not encode as it should is kept as it came.
  return DecodeModifiedUtf7(wireName).value_or(std::string(wireName));
}

// ---- Operations.

void ImapClient::Connect() {
  EnsureReady();
  if (connected_) throw ImapException("IMAP component already connected");
  parser_.Reset();
  ++connectionSerial_;
  capabilities_.clear();
  greetingText_.clear();
  utf8Names_ = false;
  authErrorChallenge_.clear();
  tagCounter_ = 0;
  tag_.clear();
  idleTag_.clear();
  ignoredTag_.clear();
  byeText_.clear();
  mailbox_.clear();
  exists_ = uidValidity_ = uidNext_ = 0;
  BeginRequest(RQ::imapConnect);
  socket_->OnDnsLookupDone = [this](std::uint16_t errCode) { HandleLookupDone(errCode); };
  SetState(ES::imapResolving);
  try {
    socket_->DnsLookup(host_);
  } catch (const std::exception& e) {
    // The request never started: nothing is reported for it.
    requestRunning_ = false;
    DisarmTimer();
    SetState(ES::imapReady);
    throw ImapException(e.what());
  }
}

void ImapClient::Capability() {
  EnsureReady();
  EnsureConnected();
  BeginRequest(RQ::imapCapability);
  SendCommand(Build("CAPABILITY").Finish(), nullptr);
}

void ImapClient::StartTls() {
  EnsureProtocolState(PS::imapNotAuthenticated, "STARTTLS");
  if (socket_->TlsActive()) throw ImapException("STARTTLS command invalid now");
  BeginRequest(RQ::imapStartTls);
  SendCommand(Build("STARTTLS").Finish(), &ImapClient::StartTlsHandshake);
}

void ImapClient::Login(ImapAuthMechanism mechanism) {
  EnsureProtocolState(PS::imapNotAuthenticated, "LOGIN");
  mechanism_ = mechanism;
  saslStep_ = 0;
  authErrorChallenge_.clear();
  if (mechanism == ImapAuthMechanism::imapAuthLogin) {
    // RFC 3501 6.2.3: the client must not send LOGIN while the server says
    // it would refuse it (on a connection without TLS, typically).
    if (HasCapability("LOGINDISABLED")) {
      throw ImapException("LOGIN is disabled on this connection");
    }
    BeginRequest(RQ::imapLogin);
    SendCommand(Build("LOGIN")
                    .String(userName_)
                    .String(passWord_)
                    .Shown("LOGIN " + PrintableAscii(userName_, 100) + " (password hidden)")
                    .Finish(),
                &ImapClient::LoggedIn);
    return;
  }
  const char* name = "PLAIN";
  switch (mechanism) {
    case ImapAuthMechanism::imapAuthCramMD5:
      name = "CRAM-MD5";
      break;
    case ImapAuthMechanism::imapAuthXOAuth2:
      name = "XOAUTH2";
      break;
    case ImapAuthMechanism::imapAuthOAuthBearer:
      name = "OAUTHBEARER";
      break;
    default:
      break;
  }
  BeginRequest(RQ::imapLogin);
  CommandBuilder command = Build("AUTHENTICATE");
  command.Atom(name);
  // With SASL-IR the first response rides on the command line (RFC 4959);
  // CRAM-MD5 has none, as its answer needs the server's challenge.
  if (mechanism != ImapAuthMechanism::imapAuthCramMD5 && HasCapability("SASL-IR")) {
    const std::string response = InitialResponse();
    command.Atom(response).Shown(std::string("AUTHENTICATE ") + name + " (" +
                                 std::to_string(response.size()) + " characters)");
    saslStep_ = 1;
  }
  SendCommand(command.Finish(), &ImapClient::LoggedIn, &ImapClient::AuthenticateContinue);
}

void ImapClient::EnableUtf8() {
  EnsureProtocolState(PS::imapAuthenticated, "ENABLE");
  BeginRequest(RQ::imapEnable);
  // A server of IMAP4rev2 alone speaks it from the start, UTF-8 names and all.
  if (HasCapability("IMAP4rev2") && !HasCapability("IMAP4rev1")) utf8Names_ = true;
  CommandBuilder command = Build("ENABLE");
  bool any = false;
  if (HasCapability("ENABLE")) {
    for (const char* extension : {"IMAP4rev2", "UTF8=ACCEPT"}) {
      if (!HasCapability(extension)) continue;
      command.Atom(extension);
      any = true;
    }
  }
  if (!any) return RequestDone(0);
  SendCommand(command.Finish(), nullptr);
}

void ImapClient::List(std::string_view pattern) {
  EnsureProtocolState(PS::imapAuthenticated, "LIST");
  const std::string wirePattern = EncodeMailbox(pattern);
  BeginRequest(RQ::imapList);
  listEntries_.clear();
  CommandBuilder command = Build("LIST");
  command.String("").String(wirePattern);
  // The special-use attributes come with RETURN (SPECIAL-USE) (RFC 6154),
  // an option of the extended LIST (RFC 5258).
  if (HasCapability("SPECIAL-USE") && HasCapability("LIST-EXTENDED")) {
    command.Atom("RETURN (SPECIAL-USE)");
  }
  SendCommand(command.Finish(), nullptr);
}

void ImapClient::Examine(std::string_view mailbox) {
  EnsureProtocolState(PS::imapAuthenticated, "EXAMINE");
  const std::string wireName = EncodeMailbox(mailbox);
  BeginRequest(RQ::imapExamine);
  examining_ = std::string(mailbox);
  exists_ = uidValidity_ = uidNext_ = 0;
  SendCommand(Build("EXAMINE").String(wireName).Finish(), &ImapClient::Examined);
}

void ImapClient::SearchAllUids() {
  EnsureProtocolState(PS::imapSelected, "SEARCH");
  BeginRequest(RQ::imapSearch);
  uids_.clear();
  // ESEARCH (RFC 4731) answers with ranges: a few bytes for a whole
  // mailbox instead of one number per message.
  const char* command = HasCapability("ESEARCH") ? "UID SEARCH RETURN (ALL) ALL" : "UID SEARCH ALL";
  SendCommand(Build(command).Finish(), &ImapClient::Searched);
}

void ImapClient::FetchHeaders(const std::vector<std::uint32_t>& uids) {
  Fetch(uids, std::string("(UID RFC822.SIZE ") + kHeaderFields + ")");
}

void ImapClient::FetchSizes(const std::vector<std::uint32_t>& uids) {
  Fetch(uids, "(UID RFC822.SIZE)");
}

void ImapClient::Fetch(const std::vector<std::uint32_t>& uids, const std::string& items) {
  EnsureProtocolState(PS::imapSelected, "FETCH");
  BeginRequest(RQ::imapFetch);
  fetching_ = uids;
  std::sort(fetching_.begin(), fetching_.end());
  fetching_.erase(std::unique(fetching_.begin(), fetching_.end()), fetching_.end());
  fetching_.erase(std::remove(fetching_.begin(), fetching_.end(), 0u), fetching_.end());
  if (fetching_.empty()) return RequestDone(0);
  SendCommand(Build("UID FETCH").Atom(SequenceSet(fetching_)).Atom(items).Finish(), nullptr);
}

void ImapClient::Noop() {
  EnsureReady();
  EnsureConnected();
  BeginRequest(RQ::imapNoop);
  SendCommand(Build("NOOP").Finish(), nullptr);
}

void ImapClient::Idle() {
  EnsureProtocolState(PS::imapAuthenticated, "IDLE");
  BeginRequest(RQ::imapIdle);
  SendCommand(Build("IDLE").Finish(), &ImapClient::IdleEndedAtOnce, &ImapClient::IdleAccepted);
}

void ImapClient::Done() {
  if (requestRunning_ || state_ != ES::imapIdling) throw ImapException("DONE without IDLE");
  BeginRequest(RQ::imapDone);
  // The IDLE command's own completion ends this request.
  tag_ = std::exchange(idleTag_, {});
  onOk_ = nullptr;
  onContinuation_ = nullptr;
  SetState(ES::imapWaitingReply);
  SendLine("DONE", "DONE");
}

void ImapClient::Logout() {
  if (requestRunning_) throw ImapException("IMAP component not ready");
  BeginRequest(RQ::imapLogout);
  if (!connected_) return RequestDone(0);
  if (!idleTag_.empty()) {
    // The IDLE ends first; its completion is no answer to LOGOUT.
    ignoredTag_ = std::exchange(idleTag_, {});
    SendLine("DONE", "DONE");
    if (!requestRunning_) return;
  }
  SendCommand(Build("LOGOUT").Finish(), &ImapClient::LoggedOut);
}

void ImapClient::Abort() { AbortWith(kImapTimedOut, "Aborted"); }

// ---- Socket events.

void ImapClient::HandleLookupDone(std::uint16_t errCode) {
  if (state_ != ES::imapResolving) return;
  if (errCode != 0) {
    return RequestDone(errCode, "cannot find " + host_ + ": " + SocketErrorText(errCode));
  }
  ConnectSocket();
}

void ImapClient::ConnectSocket() {
  try {
    socket_->SetAddr(socket_->DnsResult());
    socket_->SetProto("tcp");
    socket_->SetPort(port_);
    socket_->SetTlsMode(tlsMode_);
    socket_->SetTlsHostName(tlsHostName_.empty() ? host_ : tlsHostName_);
    socket_->OnSessionConnected = [this](std::uint16_t errCode) {
      HandleSessionConnected(errCode);
    };
    socket_->OnDataAvailable = [this](std::uint16_t errCode) { HandleData(errCode); };
    SetState(ES::imapConnecting);
    socket_->Connect();
  } catch (const std::exception& e) {
    const std::int32_t code = socket_->LastError();
    RequestDone(
        code > 0 && code <= 0xFFFF ? static_cast<std::uint16_t>(code) : kImapConnectionClosed,
        e.what());
    // A half-opened socket would refuse the endpoint of the next Connect.
    if (socket_->State() != SocketState::wsClosed) socket_->Abort();
  }
}

void ImapClient::HandleSessionConnected(std::uint16_t errCode) {
  if (state_ != ES::imapConnecting) return;
  if (errCode != 0) {
    const std::string& reason = socket_->TlsFailureReason();
    RequestDone(errCode, errCode == kTlsHandshakeFailed
                             ? "TLS failed: " + (reason.empty() ? SocketErrorText(errCode) : reason)
                             : SocketErrorText(errCode));
    socket_->Close();
    return;
  }
  connected_ = true;
  SetState(ES::imapWaitingGreeting);
}

void ImapClient::HandleSessionClosed(std::uint16_t errCode) {
  const ImapEngineState before = state_;
  connected_ = false;
  protocolState_ = PS::imapNotConnected;
  mailbox_.clear();
  idleTag_.clear();
  ++connectionSerial_;
  if (OnSessionClosed) OnSessionClosed(errCode);
  if (request_ == RQ::imapLogout) {
    RequestDone(0);
  } else if (errCode == kTlsProtocolError) {
    RequestDone(errCode, "TLS failed: " + socket_->TlsFailureReason());
  } else if (before == ES::imapWaitingGreeting) {
    RequestDone(kImapConnectionClosed, "the server closed the connection before greeting");
  } else {
    RequestDone(kImapConnectionClosed,
                byeText_.empty() ? "the server closed the connection" : "BYE " + byeText_);
  }
  SetState(ES::imapReady);
}

void ImapClient::HandleData(std::uint16_t /*errCode*/) {
  char buffer[16384];
  const int count = socket_->Receive(buffer, static_cast<int>(sizeof buffer));
  if (count < 1) return;
  // Every byte from the server restarts the time it is allowed.
  if (requestRunning_) ArmTimer();
  const std::uint64_t serial = connectionSerial_;
  std::string_view rest(buffer, static_cast<std::size_t>(count));
  while (!rest.empty()) {
    rest.remove_prefix(parser_.Parse(rest));
    if (parser_.Failed()) return FailRequest(parser_.Error());
    if (!parser_.HasResponse()) return;
    const ImapResponse response = parser_.TakeResponse();
    HandleResponse(response);
    // A handler dropped the connection, or STARTTLS made what follows
    // untrustworthy: the rest of these bytes are not looked at.
    if (serial != connectionSerial_) return;
  }
}

void ImapClient::HandleTlsHandshakeDone(std::uint16_t errCode) {
  if (state_ != ES::imapTlsHandshake) return;
  if (errCode != 0) {
    const std::string& reason = socket_->TlsFailureReason();
    return RequestDone(errCode,
                       "TLS failed: " + (reason.empty() ? SocketErrorText(errCode) : reason));
  }
  // What the server announced in plain text may have been forged: the
  // capabilities are asked again inside the protected session (RFC 3501
  // 6.2.1).
  capabilities_.clear();
  SendCommand(Build("CAPABILITY").Finish(), nullptr);
}

// ---- Responses.

void ImapClient::HandleResponse(const ImapResponse& response) {
  if (OnDisplay) OnDisplay("< " + response.trace);
  if (state_ == ES::imapWaitingGreeting) return HandleGreeting(response);
  switch (response.kind) {
    case ImapResponse::Kind::kUntagged:
      return HandleUntagged(response);
    case ImapResponse::Kind::kContinuation:
      return HandleContinuation(response);
    case ImapResponse::Kind::kTagged:
      return HandleTagged(response);
  }
}

void ImapClient::HandleGreeting(const ImapResponse& response) {
  const bool greeting =
      response.kind == ImapResponse::Kind::kUntagged &&
      (response.name == "OK" || response.name == "PREAUTH" || response.name == "BYE");
  if (!greeting) return FailRequest("not an IMAP greeting: " + PrintableAscii(response.trace, 100));
  greetingText_ = response.text;
  if (response.name == "BYE") {
    RequestDone(kImapRefused, "BYE " + response.text);
    DropConnection();
    return;
  }
  protocolState_ = response.name == "PREAUTH" ? PS::imapAuthenticated : PS::imapNotAuthenticated;
  if (response.code == "CAPABILITY") TakeCapabilities(response.codeData);
  if (!capabilities_.empty()) return RequestDone(0);
  SendCommand(Build("CAPABILITY").Finish(), nullptr);
}

void ImapClient::HandleUntagged(const ImapResponse& response) {
  if (response.IsStatus()) {
    if (response.code == "CAPABILITY") TakeCapabilities(response.codeData);
    if (requestRunning_ && request_ == RQ::imapExamine) {
      if (response.code == "UIDVALIDITY") uidValidity_ = CodeNumber(response.codeData);
      if (response.code == "UIDNEXT") uidNext_ = CodeNumber(response.codeData);
    }
    // The server is about to close; the close tells the request.
    if (response.name == "BYE") byeText_ = response.text;
    return;
  }
  const std::string& name = response.name;
  if (name == "CAPABILITY") {
    std::string words;
    for (const ImapValue& value : response.data) {
      if (const std::string* text = value.Text()) words += *text + " ";
    }
    return TakeCapabilities(words);
  }
  if (response.number) {
    if (name == "EXISTS") {
      exists_ = *response.number;
      if (OnExists) OnExists(exists_);
    } else if (name == "EXPUNGE") {
      if (exists_ > 0) --exists_;
    } else if (name == "FETCH") {
      if (requestRunning_ && request_ == RQ::imapFetch) HandleFetch(response);
    }
    return;
  }
  if ((name == "SEARCH" || name == "ESEARCH") && requestRunning_ && request_ == RQ::imapSearch) {
    return HandleSearch(response);
  }
  if (name == "LIST" && requestRunning_ && request_ == RQ::imapList) return HandleList(response);
  if (name == "ENABLED") {
    for (const ImapValue& value : response.data) {
      if (value.IsAtom("UTF8=ACCEPT") || value.IsAtom("IMAP4rev2")) utf8Names_ = true;
    }
  }
}

void ImapClient::HandleContinuation(const ImapResponse& response) {
  if (state_ != ES::imapWaitingReply) return FailRequest("a continuation nobody asked for");
  if (!piecesLeft_.empty()) {
    std::string piece = std::move(piecesLeft_.front());
    piecesLeft_.erase(piecesLeft_.begin());
    return SendLine(piece, request_ == RQ::imapLogin ? "(hidden)" : piece);
  }
  if (onContinuation_ == nullptr) return FailRequest("a continuation nobody asked for");
  (this->*onContinuation_)(response);
}

void ImapClient::HandleTagged(const ImapResponse& response) {
  if (!ignoredTag_.empty() && response.tag == ignoredTag_) {
    ignoredTag_.clear();
    return;
  }
  if (state_ == ES::imapIdling && response.tag == idleTag_) {
    // The server ended the IDLE by itself.
    idleTag_.clear();
    return SetState(ES::imapReady);
  }
  if (state_ != ES::imapWaitingReply || tag_.empty() || response.tag != tag_) {
    return FailRequest("a completion of a command never sent (" + PrintableAscii(response.tag, 64) +
                       ")");
  }
  tag_.clear();
  piecesLeft_.clear();
  if (response.code == "CAPABILITY") TakeCapabilities(response.codeData);
  const Handler onOk = std::exchange(onOk_, nullptr);
  onContinuation_ = nullptr;
  if (response.name == "OK") {
    if (onOk != nullptr) return (this->*onOk)(response);
    return RequestDone(0);
  }
  // A refused EXAMINE leaves no mailbox open (RFC 3501 6.3.1).
  if (request_ == RQ::imapExamine) {
    protocolState_ = PS::imapAuthenticated;
    mailbox_.clear();
  }
  std::string why = response.name;
  if (!response.code.empty()) {
    why += " [" + response.code + (response.codeData.empty() ? "" : " " + response.codeData) + "]";
  }
  if (!response.text.empty()) why += " " + response.text;
  RequestDone(kImapRefused, why);
}

void ImapClient::TakeCapabilities(std::string_view words) {
  capabilities_.clear();
  while (!words.empty()) {
    const std::size_t blank = words.find(' ');
    const std::string_view word = words.substr(0, blank);
    if (!word.empty() && capabilities_.size() < kMaxCapabilities) {
      capabilities_.push_back(UpperAscii(word));
    }
    if (blank == std::string_view::npos) break;
    words.remove_prefix(blank + 1);
  }
  capabilitiesFresh_ = true;
}

void ImapClient::HandleFetch(const ImapResponse& response) {
  if (response.data.empty() || !response.data[0].IsList()) return;
  const std::vector<ImapValue>& items = response.data[0].items;
  ImapFetchedMessage message;
  bool header = false;
  for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
    const ImapValue& key = items[i];
    const ImapValue& value = items[i + 1];
    if (key.IsAtom("UID")) {
      message.uid = NonZeroNumber(value).value_or(0);
    } else if (key.IsAtom("RFC822.SIZE")) {
      message.size = value.Number();
    } else if (key.kind == ImapValue::Kind::kAtom && StartsWithIgnoreCase(key.text, "BODY[")) {
      header = true;
      if (value.kind == ImapValue::Kind::kString && !value.truncated) {
        message.header = value.text;
        message.headerComplete = true;
      }
    }
  }
  // Unsolicited news (a flag changed by another client) and messages not
  // asked for are no answer.
  if (message.uid == 0 || (!header && !message.size)) return;
  if (!std::binary_search(fetching_.begin(), fetching_.end(), message.uid)) return;
  if (OnFetched) OnFetched(message);
}

void ImapClient::HandleSearch(const ImapResponse& response) {
  const std::uint64_t limit = static_cast<std::uint64_t>(exists_) * 2 + kSearchSlack;
  const std::vector<ImapValue>& data = response.data;
  if (response.name == "SEARCH") {
    for (const ImapValue& value : data) {
      if (const std::optional<std::uint32_t> uid = NonZeroNumber(value)) uids_.push_back(*uid);
    }
  } else {
    // "* ESEARCH (TAG "a5") UID ALL 1:3,5": only the answer to this command.
    std::size_t i = 0;
    if (!data.empty() && data[0].IsList()) {
      const std::vector<ImapValue>& correlator = data[0].items;
      if (correlator.size() == 2 && correlator[0].IsAtom("TAG") && correlator[1].Text() &&
          *correlator[1].Text() != tag_) {
        return;
      }
      i = 1;
    }
    for (; i + 1 < data.size(); ++i) {
      if (!data[i].IsAtom("ALL")) continue;
      const std::string* set = data[i + 1].Text();
      if (set == nullptr || !ExpandSequenceSet(*set, limit, uids_)) {
        return FailRequest("an unusable ESEARCH answer");
      }
      break;
    }
  }
  if (uids_.size() > limit) FailRequest("a search that found more messages than there are");
}

void ImapClient::HandleList(const ImapResponse& response) {
  const std::vector<ImapValue>& data = response.data;
  if (data.size() < 3 || !data[0].IsList() || data[2].Text() == nullptr) return;
  if (listEntries_.size() >= kMaxListEntries) return FailRequest("more mailboxes than can be kept");
  ImapListEntry entry;
  for (const ImapValue& attribute : data[0].items) {
    if (const std::string* text = attribute.Text()) entry.attributes.push_back(*text);
  }
  if (const std::string* delimiter = data[1].Text()) entry.delimiter = *delimiter;
  entry.wireName = *data[2].Text();
  entry.name = DecodeMailbox(entry.wireName);
  listEntries_.push_back(std::move(entry));
}

// ---- Continuations.

void ImapClient::StartTlsHandshake(const ImapResponse& /*response*/) {
  // Bytes that came in behind the go-ahead were sent in plain text, where
  // anyone on the way could have put them: they are dropped, never read as
  // the protected session's first responses.
  parser_.Reset();
  ++connectionSerial_;
  SetState(ES::imapTlsHandshake);
  socket_->StartTls();
}

void ImapClient::LoggedIn(const ImapResponse& /*response*/) {
  protocolState_ = PS::imapAuthenticated;
  // Servers often announce more once a user is logged in, and say so in
  // the OK; those that do not are asked.
  if (capabilitiesFresh_) return RequestDone(0);
  SendCommand(Build("CAPABILITY").Finish(), nullptr);
}

void ImapClient::Examined(const ImapResponse& /*response*/) {
  protocolState_ = PS::imapSelected;
  mailbox_ = examining_;
  RequestDone(0);
}

void ImapClient::Searched(const ImapResponse& /*response*/) {
  std::sort(uids_.begin(), uids_.end());
  uids_.erase(std::unique(uids_.begin(), uids_.end()), uids_.end());
  RequestDone(0);
}

void ImapClient::LoggedOut(const ImapResponse& /*response*/) {
  RequestDone(0);
  if (connected_) socket_->Close();
}

std::string ImapClient::InitialResponse() const {
  switch (mechanism_) {
    case ImapAuthMechanism::imapAuthXOAuth2:
      return EncodeBase64(XOAuth2Response(userName_, passWord_));
    case ImapAuthMechanism::imapAuthOAuthBearer:
      return EncodeBase64(OAuthBearerResponse(userName_, host_, port_, passWord_));
    default:
      return EncodeBase64(PlainResponse(userName_, passWord_));
  }
}

void ImapClient::AuthenticateContinue(const ImapResponse& response) {
  const bool oauth = mechanism_ == ImapAuthMechanism::imapAuthXOAuth2 ||
                     mechanism_ == ImapAuthMechanism::imapAuthOAuthBearer;
  std::string answer;
  switch (saslStep_) {
    case 0:
      // The server's first challenge: CRAM-MD5's is a timestamp to digest;
      // the others' is empty and asks for the first response.
      answer = mechanism_ == ImapAuthMechanism::imapAuthCramMD5
                   ? EncodeBase64(CramMd5Answer(userName_, passWord_, DecodeBase64(response.text)))
                   : InitialResponse();
      saslStep_ = 1;
      return SendLine(answer, "(response, " + std::to_string(answer.size()) + " characters)");
    case 1:
      if (oauth) {
        // A refused token: the challenge is the server's error (Base64 of a
        // JSON object), to be answered before the server ends the exchange
        // with NO: XOAUTH2 with an empty line, OAUTHBEARER with ^A.
        authErrorChallenge_ = PrintableAscii(DecodeBase64(response.text), 400);
        saslStep_ = 2;
        answer = mechanism_ == ImapAuthMechanism::imapAuthXOAuth2 ? "" : EncodeBase64("\x01");
        return SendLine(answer, answer);
      }
      break;
    case 3:
      return FailRequest("a challenge after the exchange was cancelled");
    default:
      break;
  }
  // A challenge this client does not know: the exchange is cancelled, and
  // the server answers BAD (RFC 3501 6.2.2).
  saslStep_ = 3;
  SendLine("*", "*");
}

void ImapClient::IdleAccepted(const ImapResponse& /*response*/) {
  idleTag_ = std::exchange(tag_, {});
  onOk_ = nullptr;
  onContinuation_ = nullptr;
  RequestDone(0);
}

void ImapClient::IdleEndedAtOnce(const ImapResponse& /*response*/) {
  RequestDone(kImapRefused, "IDLE ended before it began");
}

// ---- Completion.

// Every request ends here, once, whatever ended it: the answer, the close,
// a failure, a time-out or Abort.
void ImapClient::RequestDone(std::uint16_t error, std::string why) {
  if (!requestRunning_) return;
  requestRunning_ = false;
  requestResult_ = error;
  errorMessage_ = error == 0 ? std::string() : std::move(why);
  DisarmTimer();
  tag_.clear();
  piecesLeft_.clear();
  onOk_ = nullptr;
  onContinuation_ = nullptr;
  SetState(idleTag_.empty() ? ES::imapReady : ES::imapIdling);
  if (!OnRequestDone) return;
  std::weak_ptr<int> token = alive_;
  const ImapRequest request = request_;
  loop_.Post([this, token, request, error] {
    if (token.expired() || !OnRequestDone) return;
    OnRequestDone(request, error);
  });
}

void ImapClient::FailRequest(const std::string& why) {
  AbortWith(kImapBadAnswer, "the server's answer cannot be used: " + why);
}

void ImapClient::AbortWith(std::uint16_t error, const std::string& why) {
  RequestDone(error, why);
  DropConnection();
}

void ImapClient::DropConnection() {
  // The responses still to come would be taken as answers to the next
  // command: what is held is dropped, and so is the connection.
  parser_.Reset();
  ++connectionSerial_;
  idleTag_.clear();
  try {
    socket_->CancelLookup();
    if (socket_->State() != SocketState::wsClosed) socket_->Abort();
  } catch (const std::exception&) {
    // The request has already ended with its error; a socket that cannot
    // even be aborted is closed by its own failure path.
  }
  connected_ = false;
  protocolState_ = PS::imapNotConnected;
  SetState(ES::imapReady);
}

// ---- The silence time-out.

void ImapClient::ArmTimer() {
  DisarmTimer();
  if (timeout_ <= 0) return;
  std::weak_ptr<int> token = alive_;
  timer_ = loop_.StartTimer(static_cast<std::uint32_t>(timeout_) * 1000u, [this, token] {
    if (!token.expired()) TimedOut();
  });
}

void ImapClient::DisarmTimer() {
  if (timer_ == 0) return;
  loop_.StopTimer(timer_);
  timer_ = 0;
}

void ImapClient::NoteRefusal(std::string why) {
  if (requestRunning_) return;
  requestResult_ = kImapRefused;
  errorMessage_ = std::move(why);
}

void ImapClient::TimedOut() {
  DisarmTimer();
  if (!requestRunning_) return;
  const ImapEngineState state = state_;
  AbortWith(kImapTimedOut, "426 Timeout");
  timedOutIn_ = state;
}

}  // namespace corvel
