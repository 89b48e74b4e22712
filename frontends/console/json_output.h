// Machine-readable output: one JSON object a line, every text as UTF-8 through
// the shared display conversion (app/text/display_text.h), as a screen shows it.
#pragma once

#include <cstddef>
#include <string>

#include "accounts/account_options.h"
#include "accounts/account_record.h"
#include "checker/mail_checker.h"
#include "checker/new_mail_list.h"

namespace corvel::console {

// A row of the "New mail" list: {"kind":"message"|"overview","account",
// "from","subject","date","bytes","uidl"}.
[[nodiscard]] std::string RowJson(const MailRow& row);
// A failed check: {"kind":"failure","account","outcome","reason"}.
[[nodiscard]] std::string FailureJson(const CheckReport& report);
// An account as `accounts list` shows it, never with its password; `quiet`:
// it shows no balloons.
[[nodiscard]] std::string AccountJson(std::size_t index, const AccountRecord& record,
                                      const ProtocolOptions& protocol, bool quiet);

}  // namespace corvel::console
