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
    RequestDone(Pop3RequestEnd::kReply, kPop3NegativeReply);
    return;
  }
  // The first two characters are normally "+ " and are skipped unexamined.
  const std::string challenge = DecodeBase64(std::string_view(lastResponse_).substr(2));
  const std::string answer = sha1 ? CramSha1Answer(userName_, passWord_, challenge)
                                  : CramMd5Answer(userName_, passWord_, challenge);
  SetStateQuietly(ES::pop3StepReady);
  StartCommand(RQ::pop3Pass, EncodeBase64(answer), PS::pop3Transaction, nullptr);
}

}  // namespace corvel
