#include "codec/md5.h"

#include <algorithm>
#include <cstring>

namespace corvel {
namespace {

constexpr uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) | (y & ~z); }
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
constexpr uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// Per-round shift amounts and the sine-derived constants T[1..64].
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void Transform(std::array<uint32_t, 4>& state, const uint8_t* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = uint32_t{block[4 * i]} | (uint32_t{block[4 * i + 1]} << 8) |
           (uint32_t{block[4 * i + 2]} << 16) | (uint32_t{block[4 * i + 3]} << 24);
  }
  uint32_t a = state[0];
  uint32_t b = state[1];
  uint32_t c = state[2];
  uint32_t d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    uint32_t f = 0;
    int k = 0;
    switch (round) {
      case 0:
        f = F(b, c, d);
        k = step;
        break;
      case 1:
        f = G(b, c, d);
        k = (5 * step + 1) % 16;
        break;
      case 2:
        f = H(b, c, d);
        k = (3 * step + 5) % 16;
        break;
      default:
        f = I(b, c, d);
        k = (7 * step) % 16;
        break;
    }
    const uint32_t rotated = b + RotateLeft(a + f + x[k] + kSine[step], kShift[round][step % 4]);
    a = d;
    d = c;
    c = b;
    b = rotated;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void Md5Init(Md5Context& ctx) {
  ctx.state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  ctx.count = {0, 0};
  ctx.buffer.fill(0);
}

void Md5Update(Md5Context& ctx, const void* data, size_t length) {
  if (length == 0) return;
  const auto* input = static_cast<const uint8_t*>(data);
  size_t index = (ctx.count[0] >> 3) & 63;

  // The bit count is kept modulo 2^64, as the padding encodes it.
  const uint64_t bits =
      ((uint64_t{ctx.count[1]} << 32) | ctx.count[0]) + (static_cast<uint64_t>(length) << 3);
  ctx.count[0] = static_cast<uint32_t>(bits);
  ctx.count[1] = static_cast<uint32_t>(bits >> 32);

  const size_t partLength = 64 - index;
  size_t i = 0;
  if (length >= partLength) {
    std::memcpy(&ctx.buffer[index], input, partLength);
    Transform(ctx.state, ctx.buffer.data());
    for (i = partLength; i + 63 < length; i += 64) Transform(ctx.state, input + i);
    index = 0;
  }
  std::memcpy(&ctx.buffer[index], input + i, length - i);
}

Md5Digest Md5Final(Md5Context& ctx) {
  uint8_t lengthBytes[8];
  for (int i = 0; i < 4; ++i) {
    lengthBytes[i] = static_cast<uint8_t>(ctx.count[0] >> (8 * i));
    lengthBytes[i + 4] = static_cast<uint8_t>(ctx.count[1] >> (8 * i));
  }
  // Pad with 0x80 and zeros up to 56 bytes modulo 64, then the bit length.
  static constexpr uint8_t kPadding[64] = {0x80};
  const size_t index = (ctx.count[0] >> 3) & 63;
  const size_t padLength = index < 56 ? 56 - index : 120 - index;
  Md5Update(ctx, kPadding, padLength);
  Md5Update(ctx, lengthBytes, sizeof lengthBytes);

  Md5Digest digest{};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(ctx.state[i] >> (8 * j));
  }
  ctx = Md5Context{};
  return digest;
}

std::string Md5HexDigest(std::string_view data) {
  Md5Context ctx;
  Md5Init(ctx);
  while (!data.empty()) {
    const size_t slice = std::min(data.size(), kMd5SliceSize);
    Md5Update(ctx, data.data(), slice);
    data.remove_prefix(slice);
  }
  const Md5Digest digest = Md5Final(ctx);
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(2 * digest.size());
  for (const uint8_t byte : digest) {
    hex.push_back(kHexDigits[byte >> 4]);
    hex.push_back(kHexDigits[byte & 15]);
  }
  return hex;
}

}  // namespace corvel
