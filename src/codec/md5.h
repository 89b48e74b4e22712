// MD5 message digest (RFC 1321). The APOP login digests the greeting's
// timestamp with the password, the CRAM-MD5 login builds its keyed digest from
// these pieces, and the account editor names a seen-message file after the
// hexadecimal digest of the account name and a tick count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvel {

// The running state of one digest, laid out as in the RFC's reference code.
struct Md5Context {
  std::array<uint32_t, 4> state{};   // chaining values A, B, C, D
  std::array<uint32_t, 2> count{};   // message length in bits, low half first
  std::array<uint8_t, 64> buffer{};  // bytes of the block being filled
};

using Md5Digest = std::array<uint8_t, 16>;

// The convenience paths hand long data to Md5Update in slices of this size.
inline constexpr size_t kMd5SliceSize = 16384;

// Sets the RFC's initial chaining values and zeroes the count and the buffer.
void Md5Init(Md5Context& ctx);

// Adds `length` bytes at `data` to the message; may be called any number of
// times. `data` may be null only when `length` is 0.
void Md5Update(Md5Context& ctx, const void* data, size_t length);

// Pads the message, returns its digest and wipes the context to zeros, so no
// trace of a password that went into it stays behind.
[[nodiscard]] Md5Digest Md5Final(Md5Context& ctx);

// The digest of `data` as 32 upper-case hexadecimal digits, in digest order.
[[nodiscard]] std::string Md5HexDigest(std::string_view data);

}  // namespace corvel
