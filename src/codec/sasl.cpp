#include "codec/sasl.h"

#include "codec/md5.h"
#include "codec/sha1.h"

namespace corvel {
namespace {

constexpr size_t kHmacBlock = 64;

}  // namespace

std::string LowerHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

std::array<std::uint8_t, 16> HmacMd5(std::string_view key, std::string_view message) {
  Md5Digest hashedKey{};
  if (key.size() > kHmacBlock) {
    Md5Context ctx;
    Md5Init(ctx);
    Md5Update(ctx, key.data(), key.size());
    hashedKey = Md5Final(ctx);
    key = std::string_view(reinterpret_cast<const char*>(hashedKey.data()), hashedKey.size());
  }
  std::array<std::uint8_t, kHmacBlock> innerPad;
  std::array<std::uint8_t, kHmacBlock> outerPad;
  innerPad.fill(0x36);
  outerPad.fill(0x5C);
  for (size_t i = 0; i < key.size(); ++i) {
    innerPad[i] ^= static_cast<std::uint8_t>(key[i]);
    outerPad[i] ^= static_cast<std::uint8_t>(key[i]);
  }
  Md5Context ctx;
  Md5Init(ctx);
  Md5Update(ctx, innerPad.data(), innerPad.size());
  Md5Update(ctx, message.data(), message.size());
  const Md5Digest inner = Md5Final(ctx);
  Md5Init(ctx);
  Md5Update(ctx, outerPad.data(), outerPad.size());
  Md5Update(ctx, inner.data(), inner.size());
  return Md5Final(ctx);
}

std::string CramMd5Answer(std::string_view userName, std::string_view password,
                          std::string_view challenge) {
  std::string answer(userName);
  answer.push_back(' ');
  answer.append(LowerHex(HmacMd5(password, challenge)));
  return answer;
}

std::string CramSha1Answer(std::string_view userName, std::string_view password,
                           std::string_view challenge) {
  std::string answer(userName);
  answer.push_back(' ');
  answer.append(LowerHex(HmacSha1(challenge, password)));
  return answer;
}

std::string XOAuth2Response(std::string_view userName, std::string_view token) {
  std::string response = "user=";
  response.append(userName);
  response.append(
      "\x01"
      "auth=Bearer ");
  response.append(token);
  response.append("\x01\x01");
  return response;
}

std::string OAuthBearerResponse(std::string_view userName, std::string_view host,
                                std::string_view port, std::string_view token) {
  std::string response = "n,a=";
  for (char c : userName) {
    if (c == ',') {
      response.append("=2C");
    } else if (c == '=') {
      response.append("=3D");
    } else {
      response.push_back(c);
    }
  }
  response.append(
      ",\x01"
      "host=");
  response.append(host);
  const bool decimalPort = !port.empty() && port.find_first_not_of("0123456789") == port.npos;
  if (decimalPort) {
    response.append(
        "\x01"
        "port=");
    response.append(port);
  }
  response.append(
      "\x01"
      "auth=Bearer ");
  response.append(token);
  response.append("\x01\x01");
  return response;
}

std::string PlainResponse(std::string_view userName, std::string_view password) {
  std::string response;
  response.reserve(userName.size() + password.size() + 2);
  response.push_back('\0');
  response.append(userName);
  response.push_back('\0');
  response.append(password);
  return response;
}

}  // namespace corvel
