// The carried images as resources of the executable: found with FindResource in the module that
// the path names, and handed out as pointers into that module's image in memory.
//
// Only a module loaded in this process for good (the executable itself) can give bytes that stay
// valid: a file that is not loaded here is looked into as a data file, to tell a missing resource
// from a missing module, but its bytes are never handed out.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/module_resources.h"
#include "win32/wide_text.h"

namespace torv2::upgrade {
namespace {

// One reference to a module, given back on every way out.
class ModuleReference {
 public:
  explicit ModuleReference(HMODULE module) : module_(module) {}
  ~ModuleReference() { FreeLibrary(module_); }
  ModuleReference(const ModuleReference&) = delete;
  ModuleReference& operator=(const ModuleReference&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

// Whether [data, data + size) lies inside the loaded image of `module`.
bool InsideImage(HMODULE module, const void* data, DWORD size) {
  const auto base = reinterpret_cast<std::uintptr_t>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
  const std::uintptr_t end = base + nt->OptionalHeader.SizeOfImage;
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  return first >= base && first <= end && size <= end - first;
}

}  // namespace

ResourceLookup FindModuleResource(std::string_view modulePath, std::uint16_t id,
                                  std::uint32_t type) {
  const std::optional<std::wstring> path = win32::ExactWideFromUtf8(modulePath);
  if (!path || path->empty() || type > 0xFFFF) return ResourceFailure::kOpenModule;

  // The module as this process has it loaded, with a reference of our own; else the file as data.
  HMODULE handle = nullptr;
  const bool loadedHere = GetModuleHandleExW(0, path->c_str(), &handle) != 0;
  if (!loadedHere) {
    handle = LoadLibraryExW(path->c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (handle == nullptr) return ResourceFailure::kOpenModule;
  }
  const ModuleReference module(handle);

  const HRSRC info =
      FindResourceW(module.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(static_cast<WORD>(type)));
  if (info == nullptr) return ResourceFailure::kFindResource;
  if (!loadedHere) return ResourceFailure::kLoadResource;  // its bytes leave with the data file
  const HGLOBAL loaded = LoadResource(module.get(), info);
  if (loaded == nullptr) return ResourceFailure::kLoadResource;
  const void* data = LockResource(loaded);
  const DWORD size = SizeofResource(module.get(), info);
  if (data == nullptr || !InsideImage(module.get(), data, size)) {
    return ResourceFailure::kLockResource;
  }
  // The reference taken above goes back now; the module itself stays loaded, and so do its bytes.
  return ResourceBytes{static_cast<const std::uint8_t*>(data), static_cast<std::uint32_t>(size)};
}

std::string ExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  while (buffer.size() <= 32'768) {
    const DWORD length =
        GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size())
      return win32::Utf8FromWide(std::wstring_view(buffer.data(), length));
    buffer.resize(buffer.size() * 2);  // cut short: ask again with more room
  }
  return {};
}

std::string RunningExecutable() {
  return ExecutablePath();
}

std::string ModuleReadProblem(std::string_view modulePath) {
  const std::optional<std::wstring> path = win32::ExactWideFromUtf8(modulePath);
  if (!path || path->empty()) return "no program file to read";
  const HANDLE file = CreateFileW(path->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return {};
  }
  const DWORD error = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring_view why(text, length);
  while (!why.empty() && (why.back() == L'\n' || why.back() == L'\r' || why.back() == L'.')) {
    why.remove_suffix(1);
  }
  std::string reason = why.empty() ? "error " + std::to_string(error) : win32::Utf8FromWide(why);
  if (text != nullptr) LocalFree(text);
  return "cannot read " + std::string(modulePath) + ": " + reason;
}

}  // namespace torv2::upgrade
