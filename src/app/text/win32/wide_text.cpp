#include "app/text/win32/wide_text.h"

#include <windows.h>

#include "app/text/display_text.h"

namespace corvel {

std::wstring WideText(std::string_view bytes) {
  if (bytes.empty()) return {};
  const UINT codePage = IsValidUtf8(bytes) ? CP_UTF8 : CP_ACP;
  const int input = static_cast<int>(bytes.size());
  const int size = MultiByteToWideChar(codePage, 0, bytes.data(), input, nullptr, 0);
  if (size <= 0) return {};
  std::wstring text(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), input, text.data(), size);
  return text;
}

std::string Utf8Text(std::wstring_view text) {
  if (text.empty()) return {};
  const int input = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), input, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), input, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace corvel
