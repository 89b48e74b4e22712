// The IMAP engine and its blocking calls against a scripted server: the
// exact commands a check sends (read-only: EXAMINE, UID SEARCH, BODY.PEEK),
// the logins, mailbox names, IDLE, and what a broken or hostile server can
// do: refuse, say BYE, drop the line, fall silent, send garbage or a header
// too long to keep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/base64.h"
#include "imap/sync_imap_client.h"
#include "support/scripted_imap_server.h"
#include "support/system_event_loop.h"
#include "support/wait_for.h"

namespace corvel {
namespace {

using test::ImapScript;
using test::ScriptedImapServer;
using AM = ImapAuthMechanism;

constexpr char kFetchCommand[] = " (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT DATE)])";

class ImapClientTest : public ::testing::Test {
 protected:
  ImapClientTest() {
    client_.SetUserName("tim");
    client_.SetPassWord("secret");
    client_.OnFetched = [this](const ImapFetchedMessage& m) { fetched_.push_back(m); };
  }

  void Use(const ScriptedImapServer& server) {
    client_.SetHost(ScriptedImapServer::Host());
    client_.SetPort(server.PortText());
  }

  void LogIn() {
    ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
    ASSERT_TRUE(client_.LoginSync(AM::imapAuthLogin)) << client_.ErrorMessage();
  }

  static void ExpectNoFailures(const ScriptedImapServer& server) {
    for (const std::string& failure : server.Failures()) ADD_FAILURE() << failure;
  }

  test::SystemEventLoop loop_;
  SyncImapClient client_{loop_};
  std::vector<ImapFetchedMessage> fetched_;
};

using ImapSession = ImapClientTest;
using ImapLogin = ImapClientTest;
using ImapFailure = ImapClientTest;
using ImapIdle = ImapClientTest;

TEST_F(ImapSession, ExaminesSearchesAndPeeksAtHeaders) {
  ImapScript script = ImapScript::LoggedIn();
  script.Expect("a2 EXAMINE INBOX")
      .Send("* FLAGS (\\Seen)")
      .Send("* 3 EXISTS")
      .Send("* OK [UIDVALIDITY 1234] UIDs valid")
      .Send("* OK [UIDNEXT 9] next")
      .Send("a2 OK [READ-ONLY] done")
      .Expect("a3 UID SEARCH ALL")
      .Send("* SEARCH 7 3 5")
      .Send("a3 OK")
      .Expect(std::string("a4 UID FETCH 5,7") + kFetchCommand)
      .SendLiteral("* 2 FETCH (UID 5 RFC822.SIZE 120 BODY[HEADER.FIELDS (FROM SUBJECT DATE)] ",
                   "From: a\r\n\r\n", ")")
      .Send("* 1 FETCH (FLAGS (\\Seen) UID 3)")
      .Send("* 3 FETCH (UID 7 BODY[HEADER.FIELDS (FROM SUBJECT DATE)] NIL RFC822.SIZE 9)")
      .Send("a4 OK")
      .Expect("a5 LOGOUT")
      .Send("* BYE")
      .Send("a5 OK");
  ScriptedImapServer server(std::move(script));
  Use(server);
  LogIn();
  ASSERT_TRUE(client_.ExamineSync("inbox")) << client_.ErrorMessage();
  EXPECT_EQ(client_.ProtocolState(), ImapProtocolState::imapSelected);
  EXPECT_EQ(client_.Exists(), 3u);
  EXPECT_EQ(client_.UidValidity(), 1234u);
  EXPECT_EQ(client_.UidNext(), 9u);
  ASSERT_TRUE(client_.SearchAllUidsSync()) << client_.ErrorMessage();
  EXPECT_EQ(client_.Uids(), (std::vector<std::uint32_t>{3, 5, 7}));
  ASSERT_TRUE(client_.FetchHeadersSync({7, 5})) << client_.ErrorMessage();
  ASSERT_EQ(fetched_.size(), 2u);
  EXPECT_EQ(fetched_[0].uid, 5u);
  EXPECT_EQ(fetched_[0].size, 120u);
  EXPECT_EQ(fetched_[0].header, "From: a\r\n\r\n");
  EXPECT_TRUE(fetched_[0].headerComplete);
  EXPECT_EQ(fetched_[1].uid, 7u);
  EXPECT_EQ(fetched_[1].size, 9u);
  EXPECT_FALSE(fetched_[1].headerComplete);
  EXPECT_TRUE(client_.LogoutSync());
  EXPECT_TRUE(test::WaitFor(loop_, [&] { return !client_.Connected(); }));
  ExpectNoFailures(server);
  EXPECT_EQ(server.Transcript(), std::string(test::kImapLoginTranscript) +
                                     "a2 EXAMINE INBOX\r\na3 UID SEARCH ALL\r\n"
                                     "a4 UID FETCH 5,7" +
                                     kFetchCommand + "\r\na5 LOGOUT\r\n");
}

TEST_F(ImapSession, AsksWhatTheGreetingDidNotSayAndHonoursLoginDisabled) {
  ImapScript script;
  script.Send("* OK ready")
      .Expect("a1 CAPABILITY")
      .Send("* CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED ESEARCH")
      .Send("a1 OK")
      .Expect("a2 LOGOUT")
      .SendAndClose("a2 OK");
  ScriptedImapServer server(std::move(script));
  Use(server);
  ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.HasCapability("esearch"));
  EXPECT_FALSE(client_.LoginSync(AM::imapAuthLogin));
  EXPECT_EQ(client_.ErrorMessage(), "LOGIN is disabled on this connection");
  EXPECT_TRUE(client_.LogoutSync());
  ExpectNoFailures(server);
  EXPECT_EQ(server.Transcript(), "a1 CAPABILITY\r\na2 LOGOUT\r\n");
}

TEST_F(ImapSession, SearchesWithEsearchAndSendsNamesAsTheServerWantsThem) {
  ImapScript script = ImapScript::LoggedIn(
      "IMAP4rev1 ENABLE UTF8=ACCEPT ESEARCH SPECIAL-USE LIST-EXTENDED LITERAL+");
  script.Expect("a2 LIST \"\" \"*\" RETURN (SPECIAL-USE)")
      .Send("* LIST (\\HasNoChildren \\Junk) \"/\" Junk")
      .Send("* LIST () \"/\" \"&AMk-conomie\"")
      .Send("a2 OK")
      .Expect("a3 EXAMINE &AMk-conomie")
      .Send("a3 OK")
      .Expect("a4 UID SEARCH RETURN (ALL) ALL")
      .Send("* ESEARCH (TAG \"a0\") UID ALL 1:999")
      .Send("* ESEARCH (TAG \"a4\") UID ALL 4:2,9")
      .Send("a4 OK")
      .Expect("a5 ENABLE UTF8=ACCEPT")
      .Send("* ENABLED UTF8=ACCEPT")
      .Send("a5 OK")
      .Expect(
          "a6 EXAMINE \"\xC3\x89"
          "conomie\"")
      .Send("a6 OK");
  ScriptedImapServer server(std::move(script));
  Use(server);
  LogIn();
  ASSERT_TRUE(client_.ListSync("*")) << client_.ErrorMessage();
  ASSERT_EQ(client_.ListEntries().size(), 2u);
  EXPECT_TRUE(client_.ListEntries()[0].Has("\\junk"));
  EXPECT_EQ(client_.ListEntries()[1].name,
            "\xC3\x89"
            "conomie");
  ASSERT_TRUE(
      client_.ExamineSync("\xC3\x89"
                          "conomie"))
      << client_.ErrorMessage();
  ASSERT_TRUE(client_.SearchAllUidsSync()) << client_.ErrorMessage();
  EXPECT_EQ(client_.Uids(), (std::vector<std::uint32_t>{2, 3, 4, 9}));
  ASSERT_TRUE(client_.EnableUtf8Sync()) << client_.ErrorMessage();
  EXPECT_TRUE(client_.Utf8Names());
  ASSERT_TRUE(
      client_.ExamineSync("\xC3\x89"
                          "conomie"))
      << client_.ErrorMessage();
  ExpectNoFailures(server);
}

TEST_F(ImapLogin, SpeaksEachMechanismAsTheServerAnnouncesIt) {
  struct Case {
    const char* name;
    AM mechanism;
    const char* capabilities;
    const char* password;
    // Client lines, "S:" server lines, "?" the OAUTHBEARER response (it
    // names the port the system chose for the server).
    std::vector<std::string> exchange;
    bool loggedIn;
    const char* challenge;  // the server's words after a refused token
  };
  const Case cases[] = {
      {"PLAIN with SASL-IR",
       AM::imapAuthPlain,
       "IMAP4rev1 AUTH=PLAIN SASL-IR",
       "secret",
       {"a1 AUTHENTICATE PLAIN AHRpbQBzZWNyZXQ=", "S:a1 OK [CAPABILITY IMAP4rev1] in"},
       true,
       ""},
      {"PLAIN after the go-ahead, capabilities asked after",
       AM::imapAuthPlain,
       "IMAP4rev1 AUTH=PLAIN",
       "secret",
       {"a1 AUTHENTICATE PLAIN", "S:+ ", "AHRpbQBzZWNyZXQ=", "S:a1 OK in", "a2 CAPABILITY",
        "S:* CAPABILITY IMAP4rev1 IDLE", "S:a2 OK"},
       true,
       ""},
      // RFC 2195's example exchange.
      {"CRAM-MD5",
       AM::imapAuthCramMD5,
       "IMAP4rev1 AUTH=CRAM-MD5 SASL-IR",
       "tanstaaftanstaaf",
       {"a1 AUTHENTICATE CRAM-MD5", "S:+ PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+",
        "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "S:a1 OK [CAPABILITY IMAP4rev1] in"},
       true,
       ""},
      {"XOAUTH2 refused",
       AM::imapAuthXOAuth2,
       "IMAP4rev1 AUTH=XOAUTH2 SASL-IR",
       "tok",
       {"a1 AUTHENTICATE XOAUTH2 dXNlcj10aW0BYXV0aD1CZWFyZXIgdG9rAQE=",
        "S:+ eyJzdGF0dXMiOiI0MDEifQ==", "", "S:a1 NO [AUTHENTICATIONFAILED] no"},
       false,
       "{\"status\":\"401\"}"},
      {"OAUTHBEARER refused",
       AM::imapAuthOAuthBearer,
       "IMAP4rev1 AUTH=OAUTHBEARER",
       "tok",
       {"a1 AUTHENTICATE OAUTHBEARER", "S:+ ", "?",
        "S:+ eyJzdGF0dXMiOiI0MDEifQ==", "AQ==", "S:a1 NO no"},
       false,
       "{\"status\":\"401\"}"},
      {"an unknown challenge cancelled",
       AM::imapAuthPlain,
       "IMAP4rev1 SASL-IR",
       "secret",
       {"a1 AUTHENTICATE PLAIN AHRpbQBzZWNyZXQ=", "S:+ more?", "*", "S:a1 BAD cancelled"},
       false,
       ""},
      {"LOGIN with a literal password",
       AM::imapAuthLogin,
       "IMAP4rev1",
       "s\xC3\xA9"
       "cret",
       {"a1 LOGIN tim {7}", "S:+ go",
        "s\xC3\xA9"
        "cret",
        "S:a1 OK [CAPABILITY IMAP4rev1] in"},
       true,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImapScript script;
    script.Send(std::string("* OK [CAPABILITY ") + c.capabilities + "] hi");
    for (const std::string& line : c.exchange) {
      if (line.starts_with("S:")) {
        script.Send(line.substr(2));
      } else if (line == "?") {
        script.Receive();
      } else {
        script.Expect(line);
      }
    }
    script.StaySilent();
    ScriptedImapServer server(std::move(script));
    Use(server);
    std::string transcript;
    for (const std::string& line : c.exchange) {
      if (line == "?") {
        transcript += EncodeBase64("n,a=tim,\x01host=127.0.0.1\x01port=" + server.PortText() +
                                   "\x01"
                                   "auth=Bearer tok\x01\x01") +
                      "\r\n";
      } else if (!line.starts_with("S:")) {
        transcript += line + "\r\n";
      }
    }
    client_.SetPassWord(c.password);
    ASSERT_TRUE(client_.ConnectSync()) << client_.ErrorMessage();
    EXPECT_EQ(client_.LoginSync(c.mechanism), c.loggedIn) << client_.ErrorMessage();
    EXPECT_EQ(client_.ProtocolState(), c.loggedIn ? ImapProtocolState::imapAuthenticated
                                                  : ImapProtocolState::imapNotAuthenticated);
    EXPECT_EQ(client_.AuthErrorChallenge(), c.challenge);
    client_.Abort();
    ExpectNoFailures(server);
    EXPECT_EQ(server.Transcript(), transcript);
  }
}

// The opening of a session with INBOX open: login, EXAMINE as a2.
ImapScript Examined() {
  ImapScript script = ImapScript::LoggedIn();
  script.Expect("a2 EXAMINE INBOX").Send("* 2 EXISTS").Send("a2 OK");
  return script;
}

TEST_F(ImapFailure, RefusedExamineLeavesNoMailboxOpen) {
  ImapScript script = ImapScript::LoggedIn();
  script.Expect("a2 EXAMINE Nope")
      .Send("a2 NO [NONEXISTENT] no such mailbox")
      .Expect("a3 NOOP")
      .Send("a3 OK");
  ScriptedImapServer server(std::move(script));
  Use(server);
  LogIn();
  EXPECT_FALSE(client_.ExamineSync("Nope"));
  EXPECT_EQ(client_.RequestResult(), kImapRefused);
  EXPECT_EQ(client_.ErrorMessage(), "NO [NONEXISTENT] no such mailbox");
  EXPECT_EQ(client_.ProtocolState(), ImapProtocolState::imapAuthenticated);
  EXPECT_TRUE(client_.NoopSync()) << client_.ErrorMessage();
  ExpectNoFailures(server);
}

TEST_F(ImapFailure, ByeAndTheCloseEndTheRequest) {
  ImapScript script = ImapScript::LoggedIn();
  script.Expect("a2 EXAMINE INBOX").Send("* BYE shutting down").Close();
  ScriptedImapServer server(std::move(script));
  Use(server);
  LogIn();
  EXPECT_FALSE(client_.ExamineSync("INBOX"));
  EXPECT_EQ(client_.RequestResult(), kImapConnectionClosed);
  EXPECT_EQ(client_.ErrorMessage(), "BYE shutting down");
  EXPECT_FALSE(client_.Connected());
}

TEST_F(ImapFailure, GarbageDropsTheConnection) {
  const struct {
    const char* bytes;
    const char* why;
  } cases[] = {
      {"* LIST (a b\r\n", "a line ended inside a list"},
      {"a9 OK not mine\r\n", "a completion of a command never sent (a9)"},
      {"+ go on\r\n", "a continuation nobody asked for"},
      {"* 1 EXISTS {99999999999}\r\n", "a literal of 99999999999 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ImapScript script = ImapScript::LoggedIn();
    script.Expect("a2 EXAMINE INBOX").SendRaw(c.bytes).StaySilent();
    ScriptedImapServer server(std::move(script));
    Use(server);
    LogIn();
    EXPECT_FALSE(client_.ExamineSync("INBOX"));
    EXPECT_EQ(client_.RequestResult(), kImapBadAnswer);
    EXPECT_EQ(client_.ErrorMessage(), std::string("the server's answer cannot be used: ") + c.why);
    EXPECT_FALSE(client_.Connected());
  }
}

TEST_F(ImapFailure, AHeaderTooLongToKeepIsReadPastAndTheSessionGoesOn) {
  ImapScript script = Examined();
  script.Expect(std::string("a3 UID FETCH 1:2") + kFetchCommand)
      .SendLiteral("* 1 FETCH (UID 1 BODY[HEADER.FIELDS (FROM SUBJECT DATE)] ",
                   "Subject: " + std::string(kImapMaxHeader, 'x'), " RFC822.SIZE 5)")
      .SendLiteral("* 2 FETCH (UID 2 BODY[HEADER.FIELDS (FROM SUBJECT DATE)] ", "Subject: ok\r\n",
                   ")")
      .Send("a3 OK")
      .Expect("a4 NOOP")
      .Send("a4 OK");
  ScriptedImapServer server(std::move(script));
  Use(server);
  LogIn();
  ASSERT_TRUE(client_.ExamineSync("INBOX"));
  ASSERT_TRUE(client_.FetchHeadersSync({1, 2})) << client_.ErrorMessage();
  ASSERT_EQ(fetched_.size(), 2u);
  EXPECT_FALSE(fetched_[0].headerComplete);
  EXPECT_EQ(fetched_[0].header, "");
  EXPECT_EQ(fetched_[0].size, 5u);
  EXPECT_EQ(fetched_[1].header, "Subject: ok\r\n");
  EXPECT_TRUE(client_.NoopSync()) << client_.ErrorMessage();
  ExpectNoFailures(server);
}

TEST_F(ImapFailure, ASilentServerTimesOutWhateverItWasAsked) {
  for (bool idling : {false, true}) {
    SCOPED_TRACE(idling ? "DONE" : "NOOP");
    ImapScript script = Examined();
    if (idling) script.Expect("a3 IDLE").Send("+ idling");
    script.Expect(idling ? "DONE" : "a3 NOOP").StaySilent();
    ScriptedImapServer server(std::move(script));
    Use(server);
    LogIn();
    ASSERT_TRUE(client_.ExamineSync("INBOX"));
    client_.SetTimeout(1);
    if (idling) {
      client_.Idle();
      ASSERT_TRUE(test::WaitFor(loop_, [&] { return !client_.Busy(); }));
      ASSERT_EQ(client_.State(), ImapEngineState::imapIdling);
      client_.Done();
      EXPECT_FALSE(client_.WaitForRequest());
    } else {
      EXPECT_FALSE(client_.NoopSync());
    }
    EXPECT_EQ(client_.RequestResult(), kImapTimedOut);
    EXPECT_EQ(client_.TimedOutIn(), ImapEngineState::imapWaitingReply);
    EXPECT_FALSE(client_.Connected());
    client_.SetTimeout(15);
  }
}

TEST_F(ImapIdle, TellsNewMailWhileIdlingAndEndsWithDone) {
  ImapScript script = Examined();
  script.Expect("a3 IDLE")
      .Send("+ idling")
      .Send("* 3 EXISTS")
      .Expect("DONE")
      .Send("a3 OK done")
      .Expect("a4 IDLE")
      .Send("+ idling")
      .Send("a4 OK the server had enough")
      .Expect("a5 IDLE")
      .Send("+ idling")
      .Close();
  ScriptedImapServer server(std::move(script));
  Use(server);
  LogIn();
  std::vector<std::uint32_t> exists;
  client_.OnExists = [&](std::uint32_t n) { exists.push_back(n); };
  bool closed = false;
  client_.OnSessionClosed = [&](std::uint16_t) { closed = true; };
  ASSERT_TRUE(client_.ExamineSync("INBOX"));
  client_.Idle();
  ASSERT_TRUE(test::WaitFor(loop_, [&] { return exists.size() == 2; }));
  EXPECT_EQ(exists, (std::vector<std::uint32_t>{2, 3}));
  EXPECT_EQ(client_.State(), ImapEngineState::imapIdling);
  client_.Done();
  EXPECT_TRUE(client_.WaitForRequest()) << client_.ErrorMessage();
  // The server may end an IDLE by itself; the client is ready again.
  client_.Idle();
  ASSERT_TRUE(test::WaitFor(loop_, [&] { return client_.State() == ImapEngineState::imapReady; }));
  EXPECT_TRUE(client_.Connected());
  // A connection dropped without a word while idling is noticed.
  client_.Idle();
  ASSERT_TRUE(test::WaitFor(loop_, [&] { return closed; }));
  EXPECT_EQ(client_.State(), ImapEngineState::imapReady);
  EXPECT_EQ(client_.ProtocolState(), ImapProtocolState::imapNotConnected);
  ExpectNoFailures(server);
}

}  // namespace
}  // namespace corvel
