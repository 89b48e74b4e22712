#include <string>

#include "accounts/account_record.h"
#include "codec/md5.h"

namespace corvel {

std::string MakeUidlFileName(std::string_view plainName, std::uint32_t tickCount) {
  std::string seed(plainName);
  seed += std::to_string(tickCount);
  return Md5HexDigest(seed) + ".uidl";
}

}  // namespace corvel
