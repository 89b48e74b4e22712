// One block of a socket's send queue: a fixed-capacity byte array with a
// write count (bytes stored) and a read count (bytes already handed to the
// network). A partly sent block keeps its read position; once everything in
// it has gone out both counts return to 0, so the last block of the queue is
// filled again from its start instead of being replaced.
#pragma once

#include <span>
#include <vector>

namespace corvel {

class SendBlock {
 public:
  // A capacity of 0 or less means 1514 bytes.
  explicit SendBlock(int capacity = 0);

  [[nodiscard]] int Capacity() const { return static_cast<int>(data_.size()); }
  // Keeps the stored bytes; the capacity never drops below what is stored.
  void SetCapacity(int capacity);

  // Copies as many bytes as fit behind the stored ones; returns how many (0
  // when full).
  int Write(const void* data, int length);
  // The unsent bytes (empty when none).
  [[nodiscard]] std::span<const char> Peek() const;
  // Marks min(count, unsent) bytes as sent and returns that number.
  int Remove(int count);

  [[nodiscard]] int WriteCount() const { return writeCount_; }
  [[nodiscard]] int ReadCount() const { return readCount_; }

 private:
  static constexpr int kDefaultCapacity = 1514;
  std::vector<char> data_;
  int writeCount_ = 0;
  int readCount_ = 0;
};

}  // namespace corvel
