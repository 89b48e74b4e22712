#include "codec/sha1.h"

#include <algorithm>

namespace corvel {
namespace {

constexpr uint32_t CircularShift(int bits, uint32_t word) {
  return (word << bits) | (word >> (32 - bits));
}

void ProcessMessageBlock(Sha1Context* context) {
  static constexpr uint32_t kK[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = (uint32_t{context->messageBlock[t * 4]} << 24) |
           (uint32_t{context->messageBlock[t * 4 + 1]} << 16) |
           (uint32_t{context->messageBlock[t * 4 + 2]} << 8) |
           uint32_t{context->messageBlock[t * 4 + 3]};
  }
  for (int t = 16; t < 80; ++t)
    w[t] = CircularShift(1, w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16]);

  uint32_t a = context->intermediateHash[0];
  uint32_t b = context->intermediateHash[1];
  uint32_t c = context->intermediateHash[2];
  uint32_t d = context->intermediateHash[3];
  uint32_t e = context->intermediateHash[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f = 0;
    if (t < 20) {
      f = (b & c) | (~b & d);
    } else if (t < 40) {
      f = b ^ c ^ d;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
    } else {
      f = b ^ c ^ d;
    }
    const uint32_t temp = CircularShift(5, a) + f + e + w[t] + kK[t / 20];
    e = d;
    d = c;
    c = CircularShift(30, b);
    b = a;
    a = temp;
  }
  context->intermediateHash[0] += a;
  context->intermediateHash[1] += b;
  context->intermediateHash[2] += c;
  context->intermediateHash[3] += d;
  context->intermediateHash[4] += e;
  context->messageBlockIndex = 0;
}

// Appends 0x80, zeros and the 64-bit big-endian bit length, spilling into one
// more block when fewer than eight bytes are left for the length.
void PadMessage(Sha1Context* context) {
  int index = context->messageBlockIndex;
  context->messageBlock[index++] = 0x80;
  if (index > 56) {
    std::fill(context->messageBlock.begin() + index, context->messageBlock.end(), 0);
    ProcessMessageBlock(context);
    index = 0;
  }
  std::fill(context->messageBlock.begin() + index, context->messageBlock.begin() + 56, 0);
  for (int i = 0; i < 4; ++i) {
    context->messageBlock[56 + i] = static_cast<uint8_t>(context->lengthHigh >> (24 - 8 * i));
    context->messageBlock[60 + i] = static_cast<uint8_t>(context->lengthLow >> (24 - 8 * i));
  }
  ProcessMessageBlock(context);
}

// Zeroes memory that held key material through volatile stores, which the
// compiler may not drop as dead.
void Wipe(void* memory, size_t size) {
  volatile auto* bytes = static_cast<volatile uint8_t*>(memory);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

// Feeds data of any size_t length through the unsigned-length input.
void InputAll(Sha1Context* context, const uint8_t* data, size_t length) {
  constexpr size_t kChunk = size_t{1} << 30;
  while (length > 0) {
    const size_t chunk = std::min(length, kChunk);
    (void)Sha1Input(context, data, static_cast<unsigned>(chunk));
    data += chunk;
    length -= chunk;
  }
}

}  // namespace

ShaResult Sha1Reset(Sha1Context* context) {
  if (context == nullptr) return ShaResult::shaNull;
  context->lengthLow = 0;
  context->lengthHigh = 0;
  context->messageBlockIndex = 0;
  context->messageBlock.fill(0);
  context->intermediateHash = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  context->computed = false;
  context->corrupted = ShaResult::shaSuccess;
  return ShaResult::shaSuccess;
}

ShaResult Sha1Input(Sha1Context* context, const uint8_t* messageArray, unsigned length) {
  if (length == 0) return ShaResult::shaSuccess;
  if (context == nullptr || messageArray == nullptr) return ShaResult::shaNull;
  if (context->computed) {
    context->corrupted = ShaResult::shaStateError;
    return ShaResult::shaStateError;
  }
  if (context->corrupted != ShaResult::shaSuccess) return context->corrupted;

  for (unsigned i = 0; i < length && context->corrupted == ShaResult::shaSuccess; ++i) {
    context->messageBlock[context->messageBlockIndex++] = messageArray[i];
    context->lengthLow += 8;
    if (context->lengthLow == 0) {
      ++context->lengthHigh;
      if (context->lengthHigh == 0) context->corrupted = ShaResult::shaNull;  // too long
    }
    if (context->messageBlockIndex == 64) ProcessMessageBlock(context);
  }
  // The call that overflows the length reports it, like every call after it.
  return context->corrupted;
}

ShaResult Sha1Result(Sha1Context* context, uint8_t messageDigest[kSha1HashSize]) {
  if (context == nullptr || messageDigest == nullptr) return ShaResult::shaNull;
  if (context->corrupted != ShaResult::shaSuccess) return context->corrupted;
  if (!context->computed) {
    PadMessage(context);
    context->messageBlock.fill(0);  // the message may have held key material
    context->lengthLow = 0;
    context->lengthHigh = 0;
    context->computed = true;
  }
  for (size_t i = 0; i < kSha1HashSize; ++i) {
    messageDigest[i] =
        static_cast<uint8_t>(context->intermediateHash[i / 4] >> (8 * (3 - (i % 4))));
  }
  return ShaResult::shaSuccess;
}

Sha1Digest HmacSha1(const uint8_t* message, size_t messageLength, const uint8_t* key,
                    size_t keyLength) {
  constexpr size_t kBlockSize = 64;
  std::array<uint8_t, kBlockSize> innerPad{};
  std::array<uint8_t, kBlockSize> outerPad{};
  Sha1Context context;

  if (keyLength > kBlockSize) {
    Sha1Digest keyDigest{};
    (void)Sha1Reset(&context);
    InputAll(&context, key, keyLength);
    (void)Sha1Result(&context, keyDigest.data());
    std::copy(keyDigest.begin(), keyDigest.end(), innerPad.begin());
    Wipe(keyDigest.data(), keyDigest.size());
  } else if (keyLength > 0) {
    std::copy(key, key + keyLength, innerPad.begin());
  }
  outerPad = innerPad;
  for (size_t i = 0; i < kBlockSize; ++i) {
    innerPad[i] ^= 0x36;
    outerPad[i] ^= 0x5C;
  }

  Sha1Digest inner{};
  (void)Sha1Reset(&context);
  InputAll(&context, innerPad.data(), innerPad.size());
  InputAll(&context, message, messageLength);
  (void)Sha1Result(&context, inner.data());

  Sha1Digest result{};
  (void)Sha1Reset(&context);
  InputAll(&context, outerPad.data(), outerPad.size());
  InputAll(&context, inner.data(), inner.size());
  (void)Sha1Result(&context, result.data());

  // The pads are derived from the password; leave no copy on the stack.
  Wipe(innerPad.data(), innerPad.size());
  Wipe(outerPad.data(), outerPad.size());
  Wipe(inner.data(), inner.size());
  Wipe(&context, sizeof context);
  return result;
}

Sha1Digest HmacSha1(std::string_view message, std::string_view key) {
  return HmacSha1(reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                  reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

}  // namespace corvel
