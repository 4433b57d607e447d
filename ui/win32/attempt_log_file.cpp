#include "ui/win32/attempt_log_file.h"

#include <windows.h>

// shlobj.h needs windows.h first.
#include <shlobj.h>

#include <array>
#include <string>

namespace torv2::win32 {
namespace {

// %LOCALAPPDATA%, else the shell's local application data folder; empty when neither is there.
std::wstring LocalAppData() {
  std::array<wchar_t, MAX_PATH + 1> buffer{};
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  // 0: not set; more than the buffer: the size it would need, which no usable path has.
  if (length > 0 && length < buffer.size()) return std::wstring(buffer.data(), length);
  buffer.fill(L'\0');
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                 buffer.data()))) {
    buffer.back() = L'\0';
    return std::wstring(buffer.data());
  }
  return {};
}

}  // namespace

std::filesystem::path AttemptLogPath() {
  const std::wstring base = LocalAppData();
  if (base.empty()) return {};
  return std::filesystem::path(base) / L"torv2-upgrader" / L"torv2-upgrader.log";
}

std::unique_ptr<window::AttemptLog> OpenAttemptLog() {
  std::filesystem::path path = AttemptLogPath();
  if (path.empty()) return nullptr;
  return std::make_unique<window::AttemptLog>(std::move(path));
}

}  // namespace torv2::win32
