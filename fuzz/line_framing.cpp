// The POP3 receive buffer driven as the client drives it on the socket's
// data events: each event reads what fits (the fuzzer chooses how much the
// network delivered), forces a line out of a full buffer, and takes every
// complete line. However the bytes are cut into reads, the lines must be
// those of the byte stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "pop3/pop3_line_buffer.h"

namespace {

using corvel::Pop3LineBuffer;
constexpr std::size_t kHeld = Pop3LineBuffer::kSize - Pop3LineBuffer::kReserve;  // 4093

struct Piece {
  std::string text;
  bool forced = false;    // delivered because the buffer was full
  bool afterCut = false;  // the line end right after a cut, which makes no line
};

// The lines of `stream` as the framing rule defines them, independent of
// how the bytes arrive: a line ends at an LF (a CR before it dropped) unless
// 4093 bytes came first, which then make a line of their own as soon as
// another byte arrives; a 0 byte ends the line's text.
std::vector<Piece> ExpectedLines(std::string_view stream) {
  std::vector<Piece> lines;
  std::size_t pos = 0;
  bool cut = false;
  while (pos < stream.size()) {
    const std::size_t lf = stream.find('\n', pos);
    Piece piece;
    if (lf != std::string_view::npos && lf - pos < kHeld) {
      std::string_view text = stream.substr(pos, lf - pos);
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      piece.text = std::string(text.substr(0, text.find('\0')));
      // An LF alone or CR LF right behind a cut only ends the cut line.
      piece.afterCut = cut && text.empty();
      pos = lf + 1;
    } else if (stream.size() - pos > kHeld) {
      const std::string_view text = stream.substr(pos, kHeld);
      piece.text = std::string(text.substr(0, text.find('\0')));
      piece.forced = true;
      pos += kHeld;
    } else {
      break;  // an incomplete line stays in the buffer
    }
    cut = piece.forced;
    lines.push_back(std::move(piece));
  }
  return lines;
}

// Whether the lines are the expected ones. The line end right after a cut
// (an LF, or CR LF, also when the cut fell between CR and LF) only completes
// the cut piece: it makes no empty line of its own.
bool Matches(const std::vector<std::string>& lines, const std::vector<Piece>& expected) {
  std::size_t got = 0;
  for (const Piece& want : expected) {
    if (want.afterCut) continue;
    if (got == lines.size() || lines[got++] != want.text) return false;
  }
  return got == lines.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  // The first bytes choose the read sizes, the rest is the stream; short
  // inputs are repeated so that the 4093-byte cut is reached.
  const std::size_t repeat = provider.ConsumeIntegralInRange<std::size_t>(1, 64);
  const std::uint64_t readSizes = provider.ConsumeIntegral<std::uint64_t>();
  const std::string piece = provider.ConsumeRemainingBytesAsString();
  std::string stream;
  for (std::size_t i = 0; i < repeat; ++i) stream += piece;

  Pop3LineBuffer buffer;
  std::vector<std::string> lines;
  std::string line;
  std::size_t pos = 0;
  unsigned event = 0;
  while (pos < stream.size()) {
    // One data event, as the client's handler runs it.
    const int freeSpace = buffer.FreeSpace();
    if (freeSpace > 0) {
      const std::size_t shift = (event++ % 8) * 8;
      const std::size_t want =
          1 + ((readSizes >> shift) & 0xFF) * ((readSizes >> shift) % 3 + 1) * 7;
      const std::size_t count =
          std::min({want, static_cast<std::size_t>(freeSpace), stream.size() - pos});
      std::memcpy(buffer.WritePosition(), stream.data() + pos, count);
      buffer.Commit(static_cast<int>(count));
      pos += count;
    } else {
      buffer.ForceLineEnd();
    }
    while (buffer.NextLine(line)) {
      FUZZ_CHECK(line.size() <= kHeld);
      FUZZ_CHECK(line.find('\n') == std::string::npos);
      FUZZ_CHECK(line.find('\0') == std::string::npos);
      lines.push_back(line);
    }
    FUZZ_CHECK(buffer.Size() >= 0 && static_cast<std::size_t>(buffer.Size()) <= kHeld);
  }

  const std::vector<Piece> expected = ExpectedLines(stream);
  FUZZ_CHECK(Matches(lines, expected));
  return 0;
}
