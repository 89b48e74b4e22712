#include "app/imap_push.h"

#include <algorithm>
#include <set>

#include "checker/imap_mailbox.h"

namespace corvel {

void ImapPush::Update(const AccountTable& table, const AccountOptionsFile& options,
                      std::int32_t timeoutSeconds) {
  std::set<std::pair<std::string, std::string>> wanted;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const AccountRecord& record = table[i];
    if (!record.IsEnabled()) continue;
    const std::string key = record.PlainUidlFileName();
    const ProtocolOptions protocol = ProtocolOptionsOf(options.Find(key));
    if (key.empty() || protocol.protocol != MailProtocol::imap) continue;
    const std::optional<ImapAuthMechanism> mechanism =
        ImapMechanismOf(record.PlainAuthMethod(), record.UsesOAuth());
    if (!mechanism) continue;
    ImapWatchSettings settings;
    settings.host = record.PlainServer();
    settings.port = std::to_string(record.Port);
    settings.tlsMode = ImapTlsModeFor(record.SecurityMode(), record.Port);
    settings.startTls = record.SecurityMode() == kSecurityStartTls;
    settings.user = record.PlainUserName();
    settings.mechanism = *mechanism;
    settings.timeoutSeconds = timeoutSeconds;
    settings.renewMs = renewMs_;
    // The pause before a connection is tried again grows up to the
    // account's interval, which checks the account anyway.
    settings.longestRetryMs =
        static_cast<std::uint32_t>(std::clamp<std::int64_t>(record.Interval, 1, 86400) * 1000);
    const std::string name = record.PlainAccountName();
    for (const std::string& folder : protocol.folders) {
      if (folder.find_first_of("*%") != std::string::npos) continue;
      settings.mailbox = folder;
      const auto id = std::make_pair(key, folder);
      wanted.insert(id);
      auto& watcher = watchers_[id];
      if (watcher && watcher->Settings() == settings) continue;
      watcher = std::make_unique<ImapWatcher>(loop_, settings);
      watcher->OnNewMail = [this, key] {
        if (OnNewMail) OnNewMail(key);
      };
      watcher->OnLog = [this, name](std::string_view message) {
        if (OnLog) OnLog(name, message);
      };
      watcher->OnSecret = [this, key](std::string& why) -> std::optional<std::string> {
        if (!OnSecret) return std::string();
        return OnSecret(key, why);
      };
      watcher->OnLoginRefused = [this, key] {
        if (OnLoginRefused) OnLoginRefused(key);
      };
      watcher->Start();
    }
  }
  std::erase_if(watchers_, [&](const auto& entry) { return !wanted.contains(entry.first); });
}

}  // namespace corvel
