// Where the history lives on Windows: the user's local application data folder, asked of the
// shell rather than read from %LOCALAPPDATA%, whose narrow form loses any character outside the
// ANSI code page.
#include <shlobj.h>
#include <windows.h>

#include <cwchar>
#include <memory>

#include "history/history_files.h"
#include "history/history_path.h"
#include "win32/wide_text.h"

namespace torv2::history {
namespace {

struct FreeTaskMemory {
  void operator()(wchar_t* text) const { ::CoTaskMemFree(text); }
};

}  // namespace

std::filesystem::path DefaultHistoryPath(const Environment&) {
  wchar_t* raw = nullptr;
  const HRESULT found =
      ::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &raw);
  const std::unique_ptr<wchar_t, FreeTaskMemory> folder(raw);  // freed even when it failed
  if (FAILED(found) || folder == nullptr) return {};
  // Through UTF-8, as every name in the program: an unpaired surrogate cannot go into SQLite.
  const std::string name =
      win32::Utf8FromWide(std::wstring_view(folder.get(), std::wcslen(folder.get())));
  if (name.empty()) return {};
  return PathOfUtf8(name) / "torv2-upgrader" / "history.sqlite";
}

}  // namespace torv2::history
