#include "win32/wide_text.h"

#include <windows.h>

#include <limits>

namespace torv2::win32 {
namespace {

std::optional<std::wstring> Convert(std::string_view text, DWORD flags) {
  if (text.empty()) return std::wstring();
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(CP_UTF8, flags, text.data(), length, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring out(static_cast<std::size_t>(wide), L'\0');
  if (MultiByteToWideChar(CP_UTF8, flags, text.data(), length, out.data(), wide) != wide) {
    return std::nullopt;
  }
  return out;
}

}  // namespace

std::wstring WideFromUtf8(std::string_view text) {
  return Convert(text, 0).value_or(std::wstring());
}

std::optional<std::wstring> ExactWideFromUtf8(std::string_view text) {
  return Convert(text, MB_ERR_INVALID_CHARS);
}

std::string Utf8FromWide(std::wstring_view text) {
  if (text.empty()) return {};
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return {};
  const int length = static_cast<int>(text.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), bytes, nullptr, nullptr) !=
      bytes) {
    return {};
  }
  return out;
}

}  // namespace torv2::win32
