// Shared set-up of the POP3 client tests: a poll() event loop, a blocking
// client wired to a scripted server on loopback, and a record of what the
// client showed and reported.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pop3/sync_pop3_client.h"
#include "support/loopback.h"
#include "support/scripted_pop3_server.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"

namespace corvel {

using test::Pop3Script;
using test::ScriptedPop3Server;

// Generous: a test waits this long only when the client is broken.
inline constexpr std::uint32_t kPumpLimitMs = 20000;

// The usual opening of a session: greeting, USER tim, PASS secret.
inline Pop3Script LoggedInScript(const std::string& greeting = "+OK POP3 ready") {
  Pop3Script script;
  script.Send(greeting).Expect("USER tim").Send("+OK").Expect("PASS secret").Send("+OK logged in");
  return script;
}

inline constexpr char kLoginTranscript[] = "USER tim\r\nPASS secret\r\n";

class Pop3ClientTest : public ::testing::Test {
 protected:
  struct Done {
    Pop3Request rqType;
    std::uint16_t error;
  };

  Pop3ClientTest() {
    client_.SetUserName("tim");
    client_.SetPassWord("secret");
    client_.OnDisplay = [this](const std::string& msg) { display_.push_back(msg); };
    client_.OnRequestDone = [this](Pop3Request rqType, std::uint16_t error) {
      done_.push_back({rqType, error});
    };
  }

  void Use(const ScriptedPop3Server& server) {
    client_.SetHost(ScriptedPop3Server::Host());
    client_.SetPort(server.PortText());
  }

  // Pumps the loop until `predicate` holds; false after kPumpLimit.
  template <typename Predicate>
  bool Pump(Predicate predicate) {
    return test::WaitFor(loop_, predicate, kPumpLimitMs);
  }

  // Pumps until the count of OnRequestDone reports reaches `count`.
  bool WaitDone(std::size_t count = 1) {
    return Pump([&] { return done_.size() >= count; });
  }

  // Connects and logs in with USER/PASS through the blocking calls.
  // Returns once their three OnRequestDone reports have been delivered, so
  // a test may replace OnRequestDone afterwards.
  void LogIn() {
    const std::size_t before = done_.size();
    ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
    ASSERT_TRUE(client_.UserSync()) << client_.ErrorMessage();
    ASSERT_TRUE(client_.PassSync()) << client_.ErrorMessage();
    ASSERT_TRUE(WaitDone(before + 3));
  }

  static void ExpectNoFailures(const ScriptedPop3Server& server) {
    for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
  }

  test::SystemEventLoop loop_;
  SyncPop3Client client_{loop_};
  std::vector<std::string> display_;
  std::vector<Done> done_;
};

}  // namespace corvel
