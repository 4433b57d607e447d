#pragma once
// What the store asks of the file system beyond std::filesystem, written once per platform
// (history_files_posix.cpp, win32/history_files_win32.cpp): which file a name stands for now, a
// lock that programs opening the history share and the one setting a damaged file aside holds
// alone, and a rename that never takes the place of another file. And file names as the
// program's UTF-8 text, the form SQLite takes them in on every platform.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace torv2::history {

// One file, whatever its names: the volume and the file's number there.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// The file at `path` now; nullopt when there is none or it cannot be looked at.
std::optional<FileId> IdOfFile(const std::filesystem::path& path);

// Held over the folder of `file` across processes: shared by those who open the file, exclusive
// for who renames it. Not held (held() false) when the lock cannot be had.
class FolderLock {
 public:
  enum class Mode { Shared, Exclusive };
  FolderLock(const std::filesystem::path& file, Mode mode);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool held() const;

 private:
#ifdef _WIN32
  void* mutex_ = nullptr;  // a named mutex, owned while held
#else
  int fd_ = -1;  // the folder, flock()ed while held
#endif
};

enum class Renamed {
  Done,
  NameTaken,  // `to` is there: nothing was changed
  Failed,
};
// Gives the file `from` the name `to`, never over a file already called so.
Renamed RenameUnlessTaken(const std::filesystem::path& from, const std::filesystem::path& to);

// A file name as UTF-8 text, and back: on Windows the native names are UTF-16.
inline std::string Utf8Name(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
inline std::filesystem::path PathOfUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

}  // namespace torv2::history
