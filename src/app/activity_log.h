// The activity log: the time-stamped lines of what the program does (start-up
// and every step of every mailbox check), shown in LogMemo on the "Log" tab
// and nowhere else. Nothing is written to disk; the lines are gone when the
// program ends.
//
// The main window's WriteLog(account, message) tests LogChkBx, takes the
// current local time from its LocalClock, builds the line with FormatLogLine
// and appends it to its LogMemoModel. A view mirrors the memo through the
// model's two change events. Everything here runs on the loop thread.
#pragma once

#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "app/text/locale_format.h"

namespace corvel {

// "[" + date + " " + time + "] " + message for an empty account, else
// "[" + date + " " + time + "/" + account + "] " + message. The date is the
// format's short date, the time its long time; account and message are
// inserted exactly as given, with nothing escaped.
[[nodiscard]] std::string FormatLogLine(const LocaleFormat& format, const std::tm& localTime,
                                        std::string_view account, std::string_view message);

// The lines of LogMemo, at most kMaxLines of them: appending a line to a full
// memo drops its oldest line.
class LogMemoModel {
 public:
  static constexpr std::size_t kMaxLines = 200;

  // Appends text at the end. A memo line holds no line break, so a text that
  // contains CR LF, LF or CR (a server's reply quoted in a message, say) is
  // appended as several lines, each counted against the cap; an empty text
  // is one empty line.
  void Append(std::string_view text);

  // The lines, oldest first.
  [[nodiscard]] const std::deque<std::string>& Lines() const { return lines_; }
  [[nodiscard]] std::size_t Count() const { return lines_.size(); }
  // The lines joined with CR LF, as the memo's text reads.
  [[nodiscard]] std::string Text() const;

  // Fired after a line was added at the end, with that line.
  std::function<void(const std::string& line)> OnLineAppended;
  // Fired after the first (oldest) line was removed by the cap. A view that
  // mirrors the model appends on OnLineAppended and drops its first line
  // here, and always holds the same lines as the model.
  std::function<void()> OnFirstLineRemoved;

 private:
  void AppendLine(std::string line);
  // The memo's change handler: while it holds more than kMaxLines lines the
  // first one goes. After one appended line that is a single removal.
  void LogMemoChange();

  std::deque<std::string> lines_;
};

}  // namespace corvel
