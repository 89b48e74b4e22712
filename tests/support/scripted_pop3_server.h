// A POP3 server for tests that plays a script: it runs on 127.0.0.1 with a
// port chosen by the system, in a thread of the test process, accepts one
// connection per script in turn and records every byte each client sent, so
// a test can assert the exact transcript. Every blocking step has a generous
// time-out and the destructor stops the thread, so a broken client can fail
// a test but never hang it. No test framework in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pop3_server/server_connection.h"

namespace corvel::test {

// How long a script waits for a client line before it gives up.
inline constexpr int kScriptReadTimeoutMs = 30000;

class Pop3Script {
 public:
  // Sends `line` followed by CR LF.
  Pop3Script& Send(std::string_view line);
  // Sends the bytes as they are (no line end added).
  Pop3Script& SendRaw(std::string bytes);
  // Reads the next client line and requires it to be exactly `line`
  // (without its line end); a mismatch is recorded and ends the session.
  Pop3Script& Expect(std::string line);
  // Reads the next client line and only records it.
  Pop3Script& ReceiveLine();
  // Pauses the server for `ms` milliseconds.
  Pop3Script& Wait(int ms);
  // Reads and records until the client closes the connection.
  Pop3Script& StaySilent();
  // Closes the connection (the session ends here).
  Pop3Script& Close();
  // Sends `line` followed by CR LF and closes, so that the line and the
  // close arrive together (the session ends here).
  Pop3Script& SendAndClose(std::string_view line);
  // Drops the connection with a reset (the session ends here).
  Pop3Script& Reset();
  // Streams `count` lines made by `line(i)` (each followed by CR LF),
  // without building them in memory, pausing `intervalMs` between lines.
  Pop3Script& SendGenerated(std::size_t count, std::function<std::string(std::size_t)> line,
                            int intervalMs = 0);

 private:
  friend class ScriptedPop3Server;
  enum class Kind {
    kSend,
    kExpect,
    kReceive,
    kWait,
    kSilent,
    kClose,
    kSendAndClose,
    kReset,
    kGenerated
  };
  struct Step {
    Kind kind = Kind::kSend;
    std::string text;
    int ms = 0;
    std::size_t count = 0;
    std::function<std::string(std::size_t)> generator;
  };
  Pop3Script& Add(Kind kind, std::string text = {}, int ms = 0);
  std::vector<Step> steps_;
};

class ScriptedPop3Server {
 public:
  // One connection, served with `script`.
  explicit ScriptedPop3Server(Pop3Script script);
  // One connection per script, accepted in turn.
  explicit ScriptedPop3Server(std::vector<Pop3Script> scripts);
  ~ScriptedPop3Server();
  ScriptedPop3Server(const ScriptedPop3Server&) = delete;
  ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

  [[nodiscard]] std::uint16_t Port() const { return listener_.Port(); }
  [[nodiscard]] std::string PortText() const { return std::to_string(Port()); }
  [[nodiscard]] static std::string Host() { return "127.0.0.1"; }

  // The bytes the client of session `session` has sent so far.
  [[nodiscard]] std::string Transcript(std::size_t session = 0) const;
  // The deviations from the scripts seen so far ("expected ... got ...").
  [[nodiscard]] std::vector<std::string> Failures() const;
  // Sessions whose script has run to its end.
  [[nodiscard]] std::size_t SessionsFinished() const;

 private:
  void Run();
  void Serve(std::size_t index, ServerConnection& connection);
  void Fail(std::size_t index, const std::string& what);

  ServerListener listener_;
  StopSignal stop_;
  std::vector<Pop3Script> scripts_;
  mutable std::mutex mutex_;
  std::vector<std::string> transcripts_;
  std::vector<std::string> failures_;
  std::size_t finished_ = 0;
  std::thread thread_;
};

}  // namespace corvel::test
