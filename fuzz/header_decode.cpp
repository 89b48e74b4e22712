// DecodeHeaderValue on any header value a server may send: no crash, no
// endless rescanning, and the promises the new-mail list relies on.
#include "codec/header_decode.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/base64.h"
#include "codec/exception.h"
#include "fuzz_check.h"

namespace {

std::string WithoutZeroBytes(std::string_view text) {
  std::string kept;
  for (char c : text) {
    if (c != '\0') kept += c;
  }
  return kept;
}

// The bytes as the Q text of an encoded word, every byte as "=XX".
std::string QText(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += '=';
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  return text;
}

}  // namespace

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
  if (value.find("=?") == std::string_view::npos) FUZZ_CHECK(decoded == WithoutZeroBytes(value));

  // The same bytes sent as encoded words come back (text that itself holds
  // a word start would be decoded again, by design).
  if (value.find("=?") == std::string_view::npos && value.size() < 1024) {
    const std::string plain = WithoutZeroBytes(value);
    FUZZ_CHECK(corvel::DecodeHeaderValue("=?ISO-8859-1?Q?" + QText(value) + "?=") == plain);
    FUZZ_CHECK(corvel::DecodeHeaderValue("=?windows-1252?B?" + corvel::EncodeBase64(value) +
                                         "?=") == plain);
  }
  return 0;
}
