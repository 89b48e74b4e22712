// The root of the program's own exceptions. Every layer raises a subclass with
// a fixed English text; ClassName() is the name shown where a text is built as
// "-ERR " + class name + ": " + message.
#pragma once

#include <stdexcept>
#include <string>

namespace corvel {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  [[nodiscard]] virtual std::string ClassName() const { return "Exception"; }
};

// A text that should have been a number ("'%s' is not a valid integer value").
class ConvertException : public Exception {
 public:
  using Exception::Exception;
  [[nodiscard]] std::string ClassName() const override { return "ConvertException"; }
};

}  // namespace corvel
