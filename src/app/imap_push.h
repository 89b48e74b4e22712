// Push for IMAP accounts in the long-running program: one ImapWatcher per
// watched mailbox of every enabled IMAP account whose login method is known
// (the first check finds it), each on its own connection in IDLE. A watcher
// tells of news; the main window then checks that account through the
// normal check cycle, which tells new from seen and reports. Mailboxes named
// by a pattern are not watched: the account's interval finds their mail.
//
// Threads: the loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "accounts/account_options.h"
#include "accounts/account_table.h"
#include "imap/imap_watcher.h"

namespace corvel {

class ImapPush {
 public:
  explicit ImapPush(EventLoop& loop) : loop_(loop) {}

  // Watches what the table and the options call for now: watchers of
  // accounts or mailboxes no longer there, or whose settings changed, are
  // stopped; new ones started.
  void Update(const AccountTable& table, const AccountOptionsFile& options,
              std::int32_t timeoutSeconds);
  void StopAll() { watchers_.clear(); }
  [[nodiscard]] std::size_t Count() const { return watchers_.size(); }

  // The account is named by its seen-message file name, which no other
  // account shares and a rename keeps.
  std::function<void(const std::string& account)> OnNewMail;
  std::function<void(const std::string& account, std::string_view message)> OnLog;
  std::function<std::optional<std::string>(const std::string& account, std::string& why)> OnSecret;
  std::function<void(const std::string& account)> OnLoginRefused;

  // The pause between renewals of an IDLE (tests shorten it).
  void SetRenewMs(std::uint32_t ms) { renewMs_ = ms; }

 private:
  EventLoop& loop_;
  std::uint32_t renewMs_ = 9 * 60 * 1000;
  // By account and mailbox.
  std::map<std::pair<std::string, std::string>, std::unique_ptr<ImapWatcher>> watchers_;
};

}  // namespace corvel
