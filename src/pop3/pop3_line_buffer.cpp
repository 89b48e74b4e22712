#include "pop3/pop3_line_buffer.h"

#include <cstring>

namespace corvel {

void Pop3LineBuffer::Commit(int count) {
  if (count <= 0) return;
  if (count > FreeSpace()) count = FreeSpace();  // a caller never reads more than offered
  len_ += count;
  buffer_[len_] = '\0';
}

void Pop3LineBuffer::ForceLineEnd() {
  // Only reached with kSize - kReserve bytes held: the CR LF and the 0 byte
  // go into the reserved room, which is never used otherwise.
  if (len_ > kSize - kReserve) len_ = kSize - kReserve;
  buffer_[len_] = '\r';
  buffer_[len_ + 1] = '\n';
  len_ += 2;
  buffer_[len_] = '\0';
  cutHeld_ = true;
}

bool Pop3LineBuffer::NextLine(std::string& line) {
  for (;;) {
    if (len_ < 1) return false;
    const char* start = buffer_.data();
    // An LF in the first place ends an empty line: a server that ends its
    // lines with LF alone sends one for the blank line between header and body.
    const void* lf = std::memchr(start, '\n', static_cast<size_t>(len_));
    if (lf == nullptr) return false;
    const int lfPos = static_cast<int>(static_cast<const char*>(lf) - start);
    int end = lfPos;
    if (end > 0 && buffer_[end - 1] == '\r') --end;
    // The line end of a line that was cut (an LF alone, or CR LF, right
    // behind the cut) belongs to the piece already delivered: it is no
    // empty line of its own.
    const bool restOfCutLine = afterCut_ && end == 0;
    afterCut_ = cutHeld_;
    cutHeld_ = false;
    if (!restOfCutLine) {
      // A 0 byte ends the line early; whatever follows it up to the LF is lost.
      const void* nul = std::memchr(start, '\0', static_cast<size_t>(end));
      if (nul != nullptr) end = static_cast<int>(static_cast<const char*>(nul) - start);
      line.assign(start, static_cast<size_t>(end));
    }
    const int rest = len_ - lfPos - 1;
    // Move what follows the LF, with its 0 terminator, to the front.
    std::memmove(buffer_.data(), buffer_.data() + lfPos + 1, static_cast<size_t>(rest) + 1);
    len_ = rest;
    if (!restOfCutLine) return true;
  }
}

void Pop3LineBuffer::Clear() {
  len_ = 0;
  cutHeld_ = false;
  afterCut_ = false;
  buffer_[0] = '\0';
}

}  // namespace corvel
