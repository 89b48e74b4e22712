#include "pop3/pop3_auth.h"

#include "codec/md5.h"

namespace corvel {
namespace {

std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::string ApopDigest(std::string_view timestamp, std::string_view password) {
  std::string input(timestamp);
  input.append(password);
  return LowerCase(Md5HexDigest(input));
}

}  // namespace corvel
