#pragma once
// The program keeps its text in UTF-8; the wide-character Win32 calls take UTF-16.

#include <optional>
#include <string>
#include <string_view>

namespace torv2::win32 {

// For display: a byte that is not UTF-8 shows as U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
// For names (paths): nullopt when the text is not valid UTF-8.
std::optional<std::wstring> ExactWideFromUtf8(std::string_view text);
// An unpaired surrogate becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);

}  // namespace torv2::win32
