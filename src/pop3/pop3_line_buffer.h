// Framing of the POP3 client: the fixed 4096-byte receive buffer and its
// splitting into lines. Nothing here knows the protocol.
//
// A line ends at the first LF (an LF alone is an empty line, as servers that
// end their lines with LF alone send it), a CR directly before that LF is dropped,
// and a 0 byte inside the line cuts it short. At most 4093 bytes are held;
// when that many have arrived without a line end, they are delivered as one
// line of their own, so a server can never overflow the buffer nor stall the
// client with an endless line; the line end that then follows the cut (LF,
// or CR LF, also when the cut fell between CR and LF) only completes that
// line, it is no empty line.
#pragma once

#include <array>
#include <string>

namespace corvel {

class Pop3LineBuffer {
 public:
  static constexpr int kSize = 4096;
  // Room kept free behind the bytes held: the forced CR LF and the 0 byte.
  static constexpr int kReserve = 3;

  // How many bytes the next read may bring; 0 or less when 4093 bytes are
  // held and none of them ended a line.
  [[nodiscard]] int FreeSpace() const { return kSize - len_ - kReserve; }
  // Where the next read stores its bytes.
  [[nodiscard]] char* WritePosition() { return buffer_.data() + len_; }
  // Counts `count` bytes stored at WritePosition() as received.
  void Commit(int count);
  // Appends CR LF behind a full buffer so that its bytes come out as a line.
  void ForceLineEnd();
  // Takes the next complete line (without its line end) into `line`; false
  // when no complete line is held.
  bool NextLine(std::string& line);
  void Clear();
  [[nodiscard]] int Size() const { return len_; }

 private:
  std::array<char, kSize> buffer_{};
  int len_ = 0;
  bool cutHeld_ = false;   // the first line held ends at a forced line end
  bool afterCut_ = false;  // the last line taken was such a cut piece
};

}  // namespace corvel
