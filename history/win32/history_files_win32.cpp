// The history's file operations on Windows (history_files.h).
#include <windows.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "history/history_files.h"

namespace torv2::history {
namespace {

// How long a program waits for another one that opens or renames the history.
constexpr DWORD kLockWaitMs = 10000;

struct CloseHandleOf {
  void operator()(void* handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
};
using OwnedHandle = std::unique_ptr<void, CloseHandleOf>;

// The mutex's name stands for the folder: its full name, in one case (NTFS names are found
// whatever their case), hashed to fit the length of a name.
std::wstring MutexName(const std::filesystem::path& folder) {
  std::error_code error;
  std::wstring name = std::filesystem::absolute(folder, error).lexically_normal().native();
  if (error) name = folder.native();
  while (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
  if (!name.empty()) ::CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t c : name) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  }
  wchar_t text[64] = {};
  std::swprintf(text, std::size(text), L"Local\\torv2-history-%016llx",
                static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace

std::optional<FileId> IdOfFile(const std::filesystem::path& path) {
  const OwnedHandle file(
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Windows has no shared lock on a folder: one named mutex per folder, held by one program at a
// time in both modes. Opening the history takes milliseconds, so the openers' turns are short.
FolderLock::FolderLock(const std::filesystem::path& file, Mode) {
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  void* mutex = ::CreateMutexW(nullptr, FALSE, MutexName(folder).c_str());
  if (mutex == nullptr) return;
  const DWORD waited = ::WaitForSingleObject(mutex, kLockWaitMs);
  // An abandoned mutex is owned all the same: its program ended while it held it.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return;
  }
  mutex_ = mutex;
}

FolderLock::~FolderLock() {
  if (mutex_ == nullptr) return;
  ::ReleaseMutex(mutex_);
  ::CloseHandle(mutex_);
}

bool FolderLock::held() const {
  return mutex_ != nullptr;
}

Renamed RenameUnlessTaken(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Without MOVEFILE_REPLACE_EXISTING the rename fails when the name is taken.
  if (::MoveFileExW(from.c_str(), to.c_str(), 0)) return Renamed::Done;
  const DWORD error = ::GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Renamed::NameTaken
                                                                     : Renamed::Failed;
}

}  // namespace torv2::history
