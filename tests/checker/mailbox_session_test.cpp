// The check cycle over a mailbox session that is not POP3: the calls it makes
// in order, listings in several batches, identifiers of any bytes, and
// entries to be recorded as seen without being reported.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "accounts/file_io.h"
#include "checker/mail_checker.h"
#include "support/system_event_loop.h"
#include "support/working_folder.h"

namespace corvel::test {
namespace {

using ::testing::ElementsAre;

class FakeHost : public CheckHost {
 public:
  void WriteLog(std::string_view, std::string_view message) override { log.emplace_back(message); }
  [[nodiscard]] bool EditorOpen() const override { return false; }
  [[nodiscard]] bool OptionChecked(CheckOption option) const override {
    return option == CheckOption::AllMail;
  }
  void BalloonNotify(std::string_view, std::string_view, int, int) override {}
  void SetMailAnimation(bool) override {}
  void ClearProtocolTrace() override {}
  [[nodiscard]] std::string NowDateTimeText() const override { return "now"; }
  [[nodiscard]] std::uint32_t TickCount() const override { return 1; }
  [[nodiscard]] bool FastListing() const override { return true; }
  [[nodiscard]] std::int64_t CheckDeadlineSeconds() const override { return deadline; }
  std::vector<std::string> log;
  std::int64_t deadline = 30;
};

// Two folders, listed one batch each; every call is written down.
class FakeSession : public MailboxSession {
 public:
  void Begin(const AccountRecord& record, MailboxCheck& check) override {
    calls.push_back("Begin " + record.PlainServer());
    check_ = &check;
  }
  [[nodiscard]] bool Protected() const override { return true; }
  void SetSecret(std::string secret) override { calls.push_back("SetSecret " + secret); }
  [[nodiscard]] bool Connect(std::string&) override { return true; }
  [[nodiscard]] CheckOutcome LogIn(std::string&) override {
    check_->Log("Logged in!");
    return CheckOutcome::Checked;
  }
  [[nodiscard]] bool Stat(MailboxStats& stats) override {
    stats = {count, 400};
    return true;
  }
  [[nodiscard]] std::int64_t Timeout() const override { return 15; }
  void LimitTotalTime(std::optional<std::uint64_t> ms) override {
    calls.push_back("Limit " + (ms ? std::to_string(*ms) : "none"));
  }
  void BeginListing(const ListingRequest& request) override {
    calls.push_back(std::string("BeginListing") + (request.seen != nullptr ? " seen" : ""));
  }
  ListingEnd NextBatch(std::vector<MailboxEntry>& batch) override {
    batch.clear();
    calls.push_back("NextBatch");
    if (batches_ == 0) {
      batch.push_back({"INBOX/7/1", 0, false, true, 1});  // its folder's identifiers changed
      batch.push_back({"INBOX/7/2\tx\xFF", 0, false, false, 2});
    } else {
      batch.push_back({"Lists/9/4", 40, true, false, 4});  // seen before
      batch.push_back({"Lists/9/5", 50, true, false, 5});
    }
    return ++batches_ < 2 ? ListingEnd::kMore : ListingEnd::kComplete;
  }
  bool FetchSizes(std::span<MailboxEntry> entries) override {
    for (MailboxEntry& entry : entries) {
      calls.push_back("FetchSizes " + std::to_string(entry.ref));
      if (entry.sized) continue;
      entry.size = 20;
      entry.sized = true;
    }
    return true;
  }
  bool FetchHeaders(std::span<const MailboxEntry> entries, const HeadersEvent& onHeaders) override {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      calls.push_back("FetchHeaders " + std::to_string(entries[i].ref));
      const std::string subject = "s" + std::to_string(entries[i].ref);
      if (!onHeaders(i, MessageHeaders{"Ann", subject, "d"})) break;
    }
    return true;
  }
  [[nodiscard]] std::string FailureReason() const override { return {}; }
  void LogOut() override { calls.push_back("LogOut"); }

  std::vector<std::string> calls;
  std::int64_t count = 4;

 private:
  MailboxCheck* check_ = nullptr;
  int batches_ = 0;
};

// One account on a fake session.
struct Fixture {
  Fixture() {
    AccountRecord& record = table[0];
    record.Enabled = 1;
    record.LeaveMail = 1;
    record.SetPlainAccountName("Work");
    record.SetPlainServer("imap.example.org");
    record.SetPlainPassword("pw");
    record.SetPlainAuthMethod("LOGIN");
    record.SetPlainUidlFileName("work.uidl");
    checker.SetSessionChooser([this](const AccountRecord&) { return &session; });
  }
  WorkingFolder folder;
  SystemEventLoop loop;
  SyncPop3Client pop3{loop};
  AccountTable table;
  SeenList seen;
  NewMailList list;
  WindowFlags flags;
  FakeHost host;
  FakeSession session;
  MailChecker checker{table, pop3, seen, list, flags, host};
};

TEST(MailboxSession, DeadlineDoesNotGrowWithTheCountTheServerClaims) {
  Fixture f;
  f.host.deadline = 0;
  f.session.count = 2147483647;
  EXPECT_EQ(f.checker.CheckAccount(0), CheckOutcome::Checked);
  // Forty time-outs of 15 s.
  EXPECT_EQ(f.session.calls[2], "Limit 600000");
}

TEST(MailboxSession, CheckRecordsAndReportsWhatTheSessionListsInItsBatches) {
  Fixture f;
  ReplaceFileAtomically("work.uidl", "Lists/9/4\r\n");
  EXPECT_EQ(f.checker.CheckAccount(0), CheckOutcome::Checked);
  EXPECT_THAT(f.session.calls,
              ElementsAre("Begin imap.example.org", "SetSecret pw", "Limit 30000",
                          "BeginListing seen", "NextBatch", "FetchSizes 2", "FetchHeaders 2",
                          "NextBatch", "FetchSizes 5", "FetchHeaders 5", "LogOut"));
  EXPECT_EQ(ReadWholeFile("work.uidl"),
            "Lists/9/4\r\nINBOX/7/1\r\nINBOX/7/2\tx\xFF\r\nLists/9/5\r\n");
  ASSERT_EQ(f.list.Count(), 2u);
  EXPECT_EQ(f.list.Rows()[0],
            (MailRow{"Work", "Ann", "s2", "d", "20", "INBOX/7/2\tx\xFF", "Ann", "s2"}));
  EXPECT_EQ(f.list.Rows()[1].uidl, "Lists/9/5");
  EXPECT_THAT(
      f.host.log,
      ElementsAre("Trying to connect to imap.example.org", "Connected to imap.example.org",
                  "Logged in!", "2 new mails! (70 bytes)", "Logged out from imap.example.org..."));
  EXPECT_EQ(f.checker.LastReport().newCount, 2);
}

}  // namespace
}  // namespace corvel::test
