// Base64 as the logins use it: any server challenge decodes without failing,
// and whatever we encode decodes back to the same bytes.
#include "codec/base64.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::string decoded = corvel::DecodeBase64(bytes);
  FUZZ_CHECK(decoded.size() <= (size + 3) / 4 * 3);

  const std::string encoded = corvel::EncodeBase64(bytes);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
  FUZZ_CHECK(encoded.find_first_not_of(kAlphabet) == std::string::npos);
  FUZZ_CHECK(corvel::DecodeBase64(encoded) == bytes);
  return 0;
}
