// What the check cycle needs from the window that owns it: the activity log,
// the option boxes read at the moment of use, the editor's open state, the
// tray (balloon and animation), the protocol trace and the
// date text of the "New mail" list. The main window implements it; the
// console and the tests run the same cycle through it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

struct CheckReport;

// The option boxes of the "Settings" tab that the check cycle reads.
enum class CheckOption { ConnErr, AllMail, Balloon };

// Balloon icon kinds.
inline constexpr int kBalloonNone = 0;
inline constexpr int kBalloonInfo = 1;
inline constexpr int kBalloonWarning = 2;
inline constexpr int kBalloonError = 3;

// Booleans of the main window, used on its thread only.
struct WindowFlags {
  bool WindowInTray = false;    // the window is hidden in the tray
  bool NewMailPending = false;  // new mail reported and not yet looked at
  bool FirstPaint = true;       // the command line is still to be examined
};

class CheckHost {
 public:
  virtual ~CheckHost() = default;

  // Appends a time-stamped line to the activity log when logging is on.
  virtual void WriteLog(std::string_view account, std::string_view message) = 0;
  // True while the account editor is open (its button reads "Close accts.").
  [[nodiscard]] virtual bool EditorOpen() const = 0;
  [[nodiscard]] virtual bool OptionChecked(CheckOption option) const = 0;
  virtual void BalloonNotify(std::string_view title, std::string_view text, int iconKind,
                             int timeoutSeconds) = 0;
  virtual void SetMailAnimation(bool on) = 0;
  // Empties the protocol trace (the POP3 client's OnDisplay lines).
  virtual void ClearProtocolTrace() = 0;
  // The local date and time as the "New mail" list shows it: short date, a
  // blank, long time.
  [[nodiscard]] virtual std::string NowDateTimeText() const = 0;
  // The system's millisecond tick count (names new seen-message files).
  [[nodiscard]] virtual std::uint32_t TickCount() const = 0;
  // Whether a check asks for the whole identifier and size listings in one
  // command each, instead of one command per message.
  [[nodiscard]] virtual bool FastListing() const = 0;
  // Seconds a check may go on once it knows the size of the mailbox; 0: as
  // long as the size and the client's time-out allow.
  [[nodiscard]] virtual std::int64_t CheckDeadlineSeconds() const = 0;
  // Whether balloons about the account are kept back (its "Quiet" box).
  [[nodiscard]] virtual bool AccountQuiet(std::string_view /*account*/) const { return false; }
  // A check of an account is ending, before its logout line: how, and why
  // when it failed. Not called when an error left the check.
  virtual void CheckEnding(const CheckReport& /*report*/) {}
  // A check of an account has ended (after its logout line): how, and why
  // when it failed. Not called when an error left the check.
  virtual void CheckFinished(const CheckReport& /*report*/) {}
};

}  // namespace corvel
