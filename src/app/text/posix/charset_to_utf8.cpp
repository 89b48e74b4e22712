// CharsetToUtf8 with iconv.
#include <errno.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "app/text/display_text.h"

namespace corvel {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

class Converter {
 public:
  explicit Converter(const std::string& charset) : cd_(iconv_open("UTF-8", charset.c_str())) {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  [[nodiscard]] bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  [[nodiscard]] iconv_t Handle() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view bytes) {
  // iconv reads suffixes such as "//TRANSLIT" from the name; a mail's
  // charset name is only ever a name.
  if (charset.empty() || charset.find('/') != std::string_view::npos) return std::nullopt;
  Converter converter{std::string(charset)};
  if (!converter.Valid()) return std::nullopt;

  std::string out;
  std::vector<char> buffer(4 * bytes.size() + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  while (true) {
    char* outPtr = buffer.data();
    std::size_t outLeft = buffer.size();
    // A null input flushes the shift state of stateful sets (ISO-2022-JP).
    const std::size_t result = inLeft > 0
                                   ? iconv(converter.Handle(), &in, &inLeft, &outPtr, &outLeft)
                                   : iconv(converter.Handle(), nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer.data(), static_cast<std::size_t>(outPtr - buffer.data()));
    if (result != static_cast<std::size_t>(-1)) {
      if (inLeft == 0) break;
      continue;
    }
    if (errno == E2BIG) continue;
    // An invalid sequence (EILSEQ) or one cut off at the end (EINVAL): one
    // replacement character for its first byte, then on with the next.
    out += kReplacement;
    if (inLeft == 0) break;
    ++in;
    --inLeft;
  }
  return out;
}

}  // namespace corvel
