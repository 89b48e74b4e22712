// DecodeHeaderValue on any header value a server may send: no crash, no
// endless rescanning, and the promises the new-mail list relies on.
#include "codec/header_decode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/exception.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  std::string decoded;
  try {
    decoded = corvel::DecodeHeaderValue(value);
  } catch (const corvel::ConvertException&) {
    return 0;  // a malformed Q word: the caller shows the value as it came
  }
  // Every replacement shortens the text and zero bytes are removed.
  FUZZ_CHECK(decoded.size() <= value.size());
  FUZZ_CHECK(decoded.find('\0') == std::string::npos);
  // Nothing that looks like a word start means nothing changes but the zero bytes.
  if (value.find("=?") == std::string_view::npos) {
    std::string stripped;
    for (char c : value) {
      if (c != '\0') stripped += c;
    }
    FUZZ_CHECK(decoded == stripped);
  }
  return 0;
}
