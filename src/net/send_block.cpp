#include "net/send_block.h"

#include <algorithm>
#include <cstring>

namespace corvel {

SendBlock::SendBlock(int capacity)
    : data_(static_cast<std::size_t>(capacity <= 0 ? kDefaultCapacity : capacity)) {}

void SendBlock::SetCapacity(int capacity) {
  int wanted = capacity <= 0 ? kDefaultCapacity : capacity;
  data_.resize(static_cast<std::size_t>(std::max(wanted, writeCount_)));
}

int SendBlock::Write(const void* data, int length) {
  if (data == nullptr || length <= 0) return 0;
  int count = std::min(Capacity() - writeCount_, length);
  if (count <= 0) return 0;
  std::memcpy(data_.data() + writeCount_, data, static_cast<std::size_t>(count));
  writeCount_ += count;
  return count;
}

std::span<const char> SendBlock::Peek() const {
  return {data_.data() + readCount_, static_cast<std::size_t>(writeCount_ - readCount_)};
}

int SendBlock::Remove(int count) {
  int removed = std::clamp(count, 0, writeCount_ - readCount_);
  readCount_ += removed;
  if (readCount_ == writeCount_) {
    readCount_ = 0;
    writeCount_ = 0;
  }
  return removed;
}

}  // namespace corvel
