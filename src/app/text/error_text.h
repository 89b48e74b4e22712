// The text of an error as the user is shown it, in the error box of every
// front-end and on the terminal. A failed file operation names what it was
// doing, the file and the cause ("cannot write the seen-message file
// /home/me/mail/0A1B....uidl: Is a directory"); any other error is its own
// text.
#pragma once

#include <exception>
#include <string>

namespace corvel {

[[nodiscard]] std::string DescribeError(const std::exception& error);

}  // namespace corvel
