// The logins beyond USER/PASS: APOP and the AUTH exchanges, run on the
// request machinery of the engine.
#include "codec/base64.h"
#include "pop3/pop3_auth.h"
#include "pop3/pop3_client.h"
#include "pop3/pop3_parse.h"

namespace corvel {

using PS = Pop3ProtocolState;
using ES = Pop3EngineState;
using RQ = Pop3Request;

void CustomPop3Client::APop() {
  if (protocolState_ != PS::pop3WaitingUser) Refuse("-ERR APOP command invalid now");
  if (timestamp_.empty()) Refuse("-ERR Server does not support APOP (no timestamp)");
  // The digest takes the password exactly as stored; only the user name is
  // trimmed, as USER sends it.
  StartCommand(RQ::pop3APop,
               "APOP " + TrimControl(userName_) + " " + ApopDigest(timestamp_, passWord_),
               PS::pop3Transaction, nullptr);
  currentStep_ = kStepAPop;
}

void CustomPop3Client::Auth() {
  if (protocolState_ > PS::pop3WaitingUser) Refuse("-ERR AUTH command invalid now");
  switch (authType_) {
    case Pop3AuthType::popAuthNone:
      User();
      break;
    case Pop3AuthType::popAuthLogin:
      StartCommand(RQ::pop3Auth, "AUTH LOGIN", PS::pop3WaitingUser,
                   &CustomPop3Client::AuthLoginSendUser);
      break;
    case Pop3AuthType::popAuthCramMD5:
      StartCommand(RQ::pop3Auth, "AUTH CRAM-MD5", PS::pop3WaitingUser,
                   &CustomPop3Client::AuthCramMd5Answer);
      break;
    case Pop3AuthType::popAuthCramSHA1:
      StartCommand(RQ::pop3Auth, "AUTH CRAM-SHA1", PS::pop3WaitingUser,
                   &CustomPop3Client::AuthCramSha1Answer);
      break;
    case Pop3AuthType::popAuthXOAuth2:
    case Pop3AuthType::popAuthOAuthBearer:
      StartCommand(RQ::pop3Auth,
                   authType_ == Pop3AuthType::popAuthXOAuth2 ? "AUTH XOAUTH2" : "AUTH OAUTHBEARER",
                   PS::pop3WaitingUser, &CustomPop3Client::AuthOAuthSendToken);
      authErrorChallenge_.clear();
      break;
  }
}

// AUTH LOGIN: whatever follows the "+" of the server's prompts (normally
// "Username:" and "Password:" in Base64) is not examined; a server that
// answers "+OK" instead of a continuation is served the same way.
void CustomPop3Client::AuthLoginSendUser() {
  SetStateQuietly(ES::pop3StepReady);
  StartCommand(RQ::pop3User, EncodeBase64(userName_), PS::pop3WaitingUser,
               &CustomPop3Client::AuthLoginSendPass);
}

void CustomPop3Client::AuthLoginSendPass() {
  SetStateQuietly(ES::pop3StepReady);
  StartCommand(RQ::pop3Pass, EncodeBase64(passWord_), PS::pop3Transaction, nullptr);
}

void CustomPop3Client::AuthCramMd5Answer() { AuthCramAnswer(false); }
void CustomPop3Client::AuthCramSha1Answer() { AuthCramAnswer(true); }

void CustomPop3Client::AuthCramAnswer(bool sha1) {
  if (lastResponse_.size() < 3) {
    // No room for a challenge behind "+ ": nothing sensible can be answered.
    lastResponse_ = (sha1 ? "-ERR Malformed SHA1 Challenge: " : "500 Malformed MD5 Challenge: ") +
                    lastResponse_;
    NoteError();
    requestResult_ = kPop3NegativeReply;
    RequestDone(kPop3NegativeReply);
    return;
  }
  // The first two characters are normally "+ " and are skipped unexamined.
  const std::string challenge = DecodeBase64(std::string_view(lastResponse_).substr(2));
  const std::string answer = sha1 ? CramSha1Answer(userName_, passWord_, challenge)
                                  : CramMd5Answer(userName_, passWord_, challenge);
  SetStateQuietly(ES::pop3StepReady);
  StartCommand(RQ::pop3Pass, EncodeBase64(answer), PS::pop3Transaction, nullptr);
}

// XOAUTH2 and OAUTHBEARER. The response goes on a line of its own after the
// server's empty "+ " prompt rather than on the AUTH line: an access token
// makes it far longer than the 255 octets an AUTH line may carry (RFC 5034).
// The token is never shown; the line is traced as "> " + its length.
void CustomPop3Client::AuthOAuthSendToken() {
  const std::string user = TrimControl(userName_);
  const std::string token = TrimControl(passWord_);
  const std::string response = authType_ == Pop3AuthType::popAuthXOAuth2
                                   ? XOAuth2Response(user, token)
                                   : OAuthBearerResponse(user, host_, port_, token);
  const std::string line = EncodeBase64(response);
  SetStateQuietly(ES::pop3StepReady);
  hiddenCommandText_ = "(bearer token, " + std::to_string(line.size()) + " characters)";
  try {
    StartCommand(RQ::pop3Pass, line, PS::pop3Transaction, &CustomPop3Client::AuthOAuthTokenReply);
  } catch (...) {
    hiddenCommandText_.clear();
    throw;
  }
}

// "+OK" logs in. A refused token is told by a "+ " continuation carrying the
// server's error (Base64 of a JSON object); the mechanisms want it answered
// before the server ends the exchange with its "-ERR": XOAUTH2 with an empty
// line, OAUTHBEARER with a single ^A.
void CustomPop3Client::AuthOAuthTokenReply() {
  if (lastResponse_.starts_with("+OK")) {
    RequestDone(0);
    return;
  }
  protocolState_ = PS::pop3WaitingUser;
  const std::string_view encoded =
      lastResponse_.size() > 2 ? std::string_view(lastResponse_).substr(2) : std::string_view();
  authErrorChallenge_ = PrintableAscii(DecodeBase64(encoded), 400);
  SetStateQuietly(ES::pop3StepReady);
  StartCommand(RQ::pop3Pass, authType_ == Pop3AuthType::popAuthXOAuth2 ? "" : EncodeBase64("\x01"),
               PS::pop3WaitingUser, &CustomPop3Client::AuthOAuthChallengeAnswered);
}

void CustomPop3Client::AuthOAuthChallengeAnswered() {
  if (lastResponse_.starts_with("+OK")) {
    // The server let the login through after all; its word decides.
    protocolState_ = PS::pop3Transaction;
    RequestDone(0);
    return;
  }
  // A second challenge: the exchange is no longer one this client knows, and
  // whatever it sent next would be taken as yet another answer. The request
  // fails and the connection is dropped.
  throw Pop3Exception("Unexpected challenge after the token was refused");
}

}  // namespace corvel
