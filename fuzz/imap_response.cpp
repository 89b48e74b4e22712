// The IMAP response parser fed as the network feeds it: the fuzzer chooses
// the bytes and how they are cut into reads. However they are cut, the
// responses (and the error, if any) must be those of the bytes taken whole,
// the parser must never take a byte it was not given, and after an error it
// must take nothing more.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "imap/imap_parser.h"

namespace {

using corvel::ImapResponse;
using corvel::ImapResponseParser;
using corvel::ImapValue;

void Describe(const ImapValue& value, std::string& out) {
  out += static_cast<char>('0' + static_cast<int>(value.kind));
  out += value.truncated ? '!' : '.';
  out += std::to_string(value.text.size()) + ":" + value.text;
  out += "(" + std::to_string(value.items.size());
  for (const ImapValue& item : value.items) Describe(item, out);
  out += ")";
}

std::string Describe(const ImapResponse& response) {
  std::string out = std::to_string(static_cast<int>(response.kind)) + "|" + response.tag + "|" +
                    (response.number ? std::to_string(*response.number) : "-") + "|" +
                    response.name + "|" + response.code + "|" + response.codeData + "|" +
                    response.text + "|" + response.trace + "|";
  for (const ImapValue& value : response.data) Describe(value, out);
  return out;
}

struct Outcome {
  std::vector<std::string> responses;
  std::string error;
};

// Small limits, so that the fuzzer reaches them.
ImapResponseParser::Limits SmallLimits() {
  ImapResponseParser::Limits limits;
  limits.maxLineBytes = 2048;
  limits.maxLiteral = 64;
  limits.maxSkippedLiteral = 4096;
  limits.maxValues = 200;
  limits.maxDepth = 8;
  return limits;
}

Outcome Run(std::string_view bytes, const std::vector<std::size_t>& cuts) {
  ImapResponseParser parser(SmallLimits());
  Outcome outcome;
  std::size_t next = 0;
  std::size_t cut = 0;
  while (next < bytes.size()) {
    const std::size_t size = cut < cuts.size() ? cuts[cut++] : bytes.size() - next;
    std::string_view read = bytes.substr(next, size);
    next += read.size();
    while (!read.empty()) {
      const std::size_t used = parser.Parse(read);
      FUZZ_CHECK(used <= read.size());
      read.remove_prefix(used);
      if (parser.Failed()) {
        FUZZ_CHECK(parser.Parse(read) == 0);
        outcome.error = parser.Error();
        return outcome;
      }
      if (parser.HasResponse()) {
        outcome.responses.push_back(Describe(parser.TakeResponse()));
      } else {
        FUZZ_CHECK(read.empty());
      }
    }
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  std::vector<std::size_t> cuts;
  const std::size_t count = provider.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < count; ++i) {
    cuts.push_back(provider.ConsumeIntegralInRange<std::size_t>(1, 64));
  }
  const std::string bytes = provider.ConsumeRemainingBytesAsString();
  const Outcome whole = Run(bytes, {});
  const Outcome cutUp = Run(bytes, cuts);
  FUZZ_CHECK(whole.responses == cutUp.responses);
  FUZZ_CHECK(whole.error == cutUp.error);
  return 0;
}
