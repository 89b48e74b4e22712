// The mailbox test server as other tests and the demo use it: STAT, LIST,
// UIDL, TOP and RETR over its messages, dot-stuffing, and messages added
// between sessions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3_test_fixture.h"
#include "pop3_server/mailbox_pop3_server.h"

namespace corvel {
namespace {

using Pop3MailboxServer = Pop3ClientTest;

TEST_F(Pop3MailboxServer, ServesItsMessagesAndSeesNewOnesInTheNextSession) {
  test::MailboxOptions options;
  options.user = "tim";
  options.password = "secret";
  test::MailboxPop3Server server(options);
  server.AddMessage("uid-a", "From: Ann\nSubject: One\n\n.dotted\nsecond\n");
  client_.SetHost(test::MailboxPop3Server::Host());
  client_.SetPort(server.PortText());

  ASSERT_TRUE(client_.OpenSync()) << client_.ErrorMessage();
  ASSERT_TRUE(client_.StatSync());
  EXPECT_EQ(client_.MsgCount(), 1);
  // LF line ends are stored as CR LF: 39 bytes and 5 lines.
  EXPECT_EQ(client_.MsgSize(), 44);

  std::vector<std::string> lines;
  client_.OnMessageLine = [&] { lines.push_back(client_.LastResponse()); };
  client_.SetMsgNum(1);
  client_.SetMsgLines(1);
  ASSERT_TRUE(client_.TopSync());
  EXPECT_EQ(lines, (std::vector<std::string>{"From: Ann", "Subject: One", "", ".dotted"}));
  EXPECT_EQ(client_.HeaderSubject(), "One");
  lines.clear();
  ASSERT_TRUE(client_.RetrSync());
  EXPECT_EQ(lines.back(), "second");
  ASSERT_TRUE(client_.QuitSync());

  server.AddMessage("uid-b", "Subject: Two\n\nx\n");
  ASSERT_TRUE(client_.OpenSync());
  std::vector<std::string> ids;
  client_.OnUidlLine = [&] { ids.push_back(client_.MsgUidl()); };
  client_.SetMsgNum(0);
  ASSERT_TRUE(client_.UidlSync());
  EXPECT_EQ(ids, (std::vector<std::string>{"uid-a", "uid-b"}));
  client_.SetMsgNum(2);
  ASSERT_TRUE(client_.ListSync());
  EXPECT_EQ(client_.MsgSize(), 19);
  client_.SetMsgNum(3);
  EXPECT_FALSE(client_.UidlSync());
  ASSERT_TRUE(client_.QuitSync());
  EXPECT_EQ(server.SessionCount(), 2u);
}

}  // namespace
}  // namespace corvel
