#include "support/scripted_pop3_server.h"

namespace corvel::test {
namespace {

constexpr int kAcceptTimeoutMs = 60000;
constexpr int kWriteTimeoutMs = 60000;
constexpr int kSilentTimeoutMs = 120000;

const char* Describe(WaitResult result) {
  switch (result) {
    case WaitResult::kOk:
      return "ok";
    case WaitResult::kTimeout:
      return "time-out";
    case WaitResult::kClosed:
      return "connection closed";
    case WaitResult::kStopped:
      return "server stopped";
    case WaitResult::kError:
      return "socket error";
  }
  return "?";
}

}  // namespace

Pop3Script& Pop3Script::Add(Kind kind, std::string text, int ms) {
  Step step;
  step.kind = kind;
  step.text = std::move(text);
  step.ms = ms;
  steps_.push_back(std::move(step));
  return *this;
}

Pop3Script& Pop3Script::Send(std::string_view line) {
  return Add(Kind::kSend, std::string(line) + "\r\n");
}

Pop3Script& Pop3Script::SendRaw(std::string bytes) { return Add(Kind::kSend, std::move(bytes)); }

Pop3Script& Pop3Script::Expect(std::string line) { return Add(Kind::kExpect, std::move(line)); }

Pop3Script& Pop3Script::ReceiveLine() { return Add(Kind::kReceive); }

Pop3Script& Pop3Script::Wait(int ms) { return Add(Kind::kWait, {}, ms); }

Pop3Script& Pop3Script::StaySilent() { return Add(Kind::kSilent); }

Pop3Script& Pop3Script::Close() { return Add(Kind::kClose); }

Pop3Script& Pop3Script::SendAndClose(std::string_view line) {
  return Add(Kind::kSendAndClose, std::string(line) + "\r\n");
}
Pop3Script& Pop3Script::Reset() { return Add(Kind::kReset); }

Pop3Script& Pop3Script::SendGenerated(std::size_t count,
                                      std::function<std::string(std::size_t)> line,
                                      int intervalMs) {
  Add(Kind::kGenerated, {}, intervalMs);
  steps_.back().count = count;
  steps_.back().generator = std::move(line);
  return *this;
}

ScriptedPop3Server::ScriptedPop3Server(Pop3Script script)
    : ScriptedPop3Server(std::vector<Pop3Script>{std::move(script)}) {}

ScriptedPop3Server::ScriptedPop3Server(std::vector<Pop3Script> scripts)
    : scripts_(std::move(scripts)), transcripts_(scripts_.size()) {
  thread_ = std::thread([this] { Run(); });
}

ScriptedPop3Server::~ScriptedPop3Server() {
  stop_.Raise();
  thread_.join();
}

std::string ScriptedPop3Server::Transcript(std::size_t session) const {
  std::lock_guard lock(mutex_);
  return session < transcripts_.size() ? transcripts_[session] : std::string();
}

std::vector<std::string> ScriptedPop3Server::Failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

std::size_t ScriptedPop3Server::SessionsFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void ScriptedPop3Server::Fail(std::size_t index, const std::string& what) {
  std::lock_guard lock(mutex_);
  failures_.push_back("session " + std::to_string(index) + ": " + what);
}

void ScriptedPop3Server::Run() {
  for (std::size_t index = 0; index < scripts_.size(); ++index) {
    int fd = -1;
    const WaitResult accepted = listener_.Accept(stop_, kAcceptTimeoutMs, fd);
    if (accepted == WaitResult::kStopped) return;
    if (accepted != WaitResult::kOk) {
      Fail(index, std::string("no connection: ") + Describe(accepted));
      return;
    }
    ServerConnection connection(fd, stop_, [this, index](std::string_view bytes) {
      std::lock_guard lock(mutex_);
      transcripts_[index].append(bytes);
    });
    Serve(index, connection);
    std::lock_guard lock(mutex_);
    ++finished_;
  }
}

void ScriptedPop3Server::Serve(std::size_t index, ServerConnection& connection) {
  for (const Pop3Script::Step& step : scripts_[index].steps_) {
    WaitResult result = WaitResult::kOk;
    std::string line;
    switch (step.kind) {
      case Pop3Script::Kind::kSend:
        result = connection.Write(step.text, kWriteTimeoutMs);
        break;
      case Pop3Script::Kind::kExpect:
        result = connection.ReadLine(line, kScriptReadTimeoutMs);
        if (result == WaitResult::kOk && line != step.text) {
          Fail(index, "expected \"" + step.text + "\", got \"" + line + "\"");
          return;
        }
        break;
      case Pop3Script::Kind::kReceive:
        result = connection.ReadLine(line, kScriptReadTimeoutMs);
        break;
      case Pop3Script::Kind::kWait:
        result = connection.Pause(step.ms);
        break;
      case Pop3Script::Kind::kSilent:
        result = connection.ReadUntilClosed(kSilentTimeoutMs);
        if (result == WaitResult::kClosed) result = WaitResult::kOk;
        break;
      case Pop3Script::Kind::kClose:
        connection.Close();
        return;
      case Pop3Script::Kind::kSendAndClose:
        connection.WriteAndClose(step.text, kWriteTimeoutMs);
        return;
      case Pop3Script::Kind::kReset:
        connection.Reset();
        return;
      case Pop3Script::Kind::kGenerated: {
        // Lines are gathered into chunks so that a 10 MB answer goes out in
        // big writes without being built whole.
        std::string chunk;
        for (std::size_t i = 0; i < step.count && result == WaitResult::kOk; ++i) {
          chunk += step.generator(i);
          chunk += "\r\n";
          if (step.ms > 0 || chunk.size() >= 65536 || i + 1 == step.count) {
            result = connection.Write(chunk, kWriteTimeoutMs);
            chunk.clear();
            if (step.ms > 0 && result == WaitResult::kOk) result = connection.Pause(step.ms);
          }
        }
        break;
      }
    }
    if (result == WaitResult::kStopped) return;
    if (result != WaitResult::kOk) {
      Fail(index, std::string("step ") + std::to_string(&step - scripts_[index].steps_.data()) +
                      ": " + Describe(result));
      return;
    }
  }
  // Script done: keep the connection until the client closes it.
  connection.ReadUntilClosed(kSilentTimeoutMs);
}

}  // namespace corvel::test
