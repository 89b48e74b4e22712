// The reply parsers on any line a server may send (STAT, LIST, UIDL and LAST
// answers, and the user name and password trimming): no crash, no undefined
// arithmetic on oversized numbers, and the numbers and identifiers we format
// come back out.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "pop3/pop3_parse.h"

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const auto number = provider.ConsumeIntegralInRange<std::int32_t>(0, INT32_MAX);
  const auto second = provider.ConsumeIntegralInRange<std::int32_t>(0, INT32_MAX);
  const std::string line = provider.ConsumeRemainingBytesAsString();

  // Whatever the line: the parsers agree with each other.
  std::int32_t first = 0;
  std::int32_t next = 0;
  const bool two = corvel::ParseNumbers(line, first, next);
  std::int32_t msgNum = 0;
  std::string uidl;
  const bool one = corvel::ParseNumberAndUidl(line, msgNum, uidl);
  const std::int32_t leading = corvel::ParseFirstNumber(line);
  const bool hasDigit = line.find_first_of("0123456789") != std::string::npos;
  FUZZ_CHECK(one == hasDigit);
  FUZZ_CHECK(msgNum == leading);
  if (two) FUZZ_CHECK(first == leading);
  if (!two) FUZZ_CHECK(first == 0 && next == 0);
  FUZZ_CHECK(line.ends_with(uidl));
  FUZZ_CHECK(uidl.empty() || (uidl.front() != ' ' && uidl.front() != '\t'));

  const std::string trimmed = corvel::TrimControl(line);
  FUZZ_CHECK(line.find(trimmed) != std::string::npos);
  FUZZ_CHECK(trimmed.empty() || (!IsControl(trimmed.front()) && !IsControl(trimmed.back())));
  FUZZ_CHECK(corvel::TrimControl(trimmed) == trimmed);

  // Replies as a server formats them.
  // Any bytes but the blanks the id begins after.
  const std::string id = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
  const std::string uidlReply = "+OK " + std::to_string(number) + " " + id;
  FUZZ_CHECK(corvel::ParseNumberAndUidl(uidlReply, msgNum, uidl));
  FUZZ_CHECK(msgNum == number && uidl == id);
  const std::string statReply = "+OK " + std::to_string(number) + " " + std::to_string(second);
  FUZZ_CHECK(corvel::ParseNumbers(statReply, first, next));
  FUZZ_CHECK(first == number && next == second);
  return 0;
}
