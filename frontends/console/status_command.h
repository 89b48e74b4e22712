// `corvel status [--format text|json|waybar|i3blocks]`: what the accounts of
// this folder have, for a status bar or a script. The running program of the
// folder is asked over the session bus; without one, every enabled account is
// checked once, quietly.
//
//   text      one line per account: "Home: 2 new mails (4096 bytes)"
//   json      one object: {"new","bytes","class","accounts":[{"account","new",
//             "bytes","lastCheck","failure"}]}
//   waybar    one object: {"text","tooltip","class","alt"}, class and alt
//             "new", "none" or "error"
//   i3blocks  full text, short text and colour on three lines; exit status 33
//             when there is new mail (i3blocks shows the block as urgent)
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/bus/program_bus.h"
#include "console/commands.h"

namespace corvel::console {

inline constexpr int kExitNewMail = 33;

enum class StatusFormat { text, json, waybar, i3blocks };

// What a status line is made of.
struct StatusReport {
  std::vector<AccountCounts> accounts;
};

// Writes the report in the format; returns the exit status.
int PrintStatus(const StatusReport& report, StatusFormat format, std::ostream& out);

// Asks the folder's running program, or checks; prints; the exit status.
int RunStatus(StatusFormat format, const Environment& environment, std::ostream& out,
              std::ostream& err);

}  // namespace corvel::console
