// SHA-1 (FIPS 180-1) in the shape of the RFC 3174 sample code, and HMAC-SHA1
// (RFC 2104), which answers the AUTH CRAM-SHA1 challenge of a POP3 server.
// The digest functions take pointers so that a missing context or missing
// data can be reported through the result codes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvel {

enum class ShaResult : int {
  shaSuccess = 0,
  shaNull = 1,        // no context, no digest buffer, or no data for a non-zero length;
                      // also stored when the message grows past 2^64 - 1 bits
  shaStateError = 3,  // input after the result was taken
};

inline constexpr size_t kSha1HashSize = 20;

struct Sha1Context {
  std::array<uint32_t, 5> intermediateHash{};
  uint32_t lengthLow = 0;   // message length in bits, low half
  uint32_t lengthHigh = 0;  // and high half
  int_least16_t messageBlockIndex = 0;
  std::array<uint8_t, 64> messageBlock{};
  bool computed = false;                        // the result was taken
  ShaResult corrupted = ShaResult::shaSuccess;  // once not success, every call returns it
};

using Sha1Digest = std::array<uint8_t, kSha1HashSize>;

// Starts a new digest. shaNull without a context.
[[nodiscard]] ShaResult Sha1Reset(Sha1Context* context);

// Adds `length` bytes. A length of 0 returns shaSuccess at once, even without
// context or data; input after Sha1Result corrupts the context with
// shaStateError.
[[nodiscard]] ShaResult Sha1Input(Sha1Context* context, const uint8_t* messageArray,
                                  unsigned length);

// The first call pads the message, writes the 20-byte digest and forgets the
// message (block and bit count cleared); later calls write the same digest.
[[nodiscard]] ShaResult Sha1Result(Sha1Context* context, uint8_t messageDigest[kSha1HashSize]);

// HMAC-SHA1 of `message` keyed with `key`. A key longer than the 64-byte block
// is first replaced by its SHA-1 digest; a key of 64 bytes or less is used as
// it is. Null pointers are accepted only with a length of 0.
[[nodiscard]] Sha1Digest HmacSha1(const uint8_t* message, size_t messageLength, const uint8_t* key,
                                  size_t keyLength);
[[nodiscard]] Sha1Digest HmacSha1(std::string_view message, std::string_view key);

}  // namespace corvel
