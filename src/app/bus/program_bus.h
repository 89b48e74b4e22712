// The running program for other programs: on Linux the session bus name
// io.corvel.Corvel (interface io.corvel.Corvel at /io/corvel/Corvel, see
// io.corvel.Corvel.xml beside this file), which status bars and scripts ask
// for the counts and the new mail, and which tells them of new mail and of
// failed checks. `corvel status` asks it too. Windows has no session bus: the
// program exports nothing there.
//
// Threads: the bus is served on a thread of its own; every question is
// answered on the loop thread (through EventLoop::Post), so the host is only
// ever called there. The program never waits for the bus.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checker/new_mail_list.h"
#include "net/event_loop.h"

namespace corvel {

inline constexpr std::string_view kBusName = "io.corvel.Corvel";
inline constexpr std::string_view kBusPath = "/io/corvel/Corvel";
inline constexpr std::string_view kBusInterface = "io.corvel.Corvel";

// The introspection data of the interface (io.corvel.Corvel.xml).
[[nodiscard]] std::string_view BusIntrospectionXml();

// One account as GetCounts tells it.
struct AccountCounts {
  std::string account;
  std::int64_t newCount = 0;  // new mails not looked at yet
  std::int64_t newBytes = 0;
  std::int64_t lastCheck = 0;  // seconds since 1970 when its last check ended; 0: none yet
  std::string failure;         // why the last check failed; empty when it worked
  friend bool operator==(const AccountCounts&, const AccountCounts&) = default;
};

// What the bus asks of the program; on the loop thread.
class ProgramBusHost {
 public:
  virtual ~ProgramBusHost() = default;
  virtual void BusCheckNow() = 0;
  [[nodiscard]] virtual std::vector<MailRow> BusNewMail() const = 0;
  [[nodiscard]] virtual std::vector<AccountCounts> BusCounts() const = 0;
};

// The exported object; gone with this object.
class ProgramBus {
 public:
  virtual ~ProgramBus() = default;
  // The signals; on the loop thread.
  virtual void NewMail(std::string_view account, std::int64_t count, std::int64_t bytes) = 0;
  virtual void CheckFailed(std::string_view account, std::string_view reason) = 0;
};

// Exports the program for `folder` on the session bus; the name is taken in
// the background (a program that already holds it keeps it: the log then
// says so through `tell`, on the loop thread). Nothing, with why, where
// there is no session bus. `host` and `loop` must outlive the result.
[[nodiscard]] std::unique_ptr<ProgramBus> ExportProgramBus(
    EventLoop& loop, ProgramBusHost& host, const std::filesystem::path& folder,
    std::function<void(std::string_view message)> tell, std::string& why);

// Whether the system's keyring can be reached: a Secret Service on the
// session bus, running or startable (Linux); the Credential Manager is
// always there (Windows). Waits at most a second.
[[nodiscard]] bool SystemKeyringReachable();

// What the running program tells: its folder and the counts.
struct RunningProgramCounts {
  std::filesystem::path folder;
  std::vector<AccountCounts> accounts;
};
// Asks the program that holds the bus name, waiting at most `timeoutMs`;
// nothing, with why, when none answers.
[[nodiscard]] std::optional<RunningProgramCounts> AskRunningProgram(int timeoutMs,
                                                                    std::string& why);

}  // namespace corvel
