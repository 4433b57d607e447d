// The history's file operations on POSIX systems (history_files.h).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "history/history_files.h"

namespace torv2::history {

std::optional<FileId> IdOfFile(const std::filesystem::path& path) {
  struct stat found {};
  if (::stat(path.c_str(), &found) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(found.st_dev), static_cast<std::uint64_t>(found.st_ino)};
}

FolderLock::FolderLock(const std::filesystem::path& file, Mode mode) {
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  const int operation = mode == Mode::Shared ? LOCK_SH : LOCK_EX;
  int locked = 0;
  while ((locked = ::flock(fd_, operation)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);  // lets go of the lock
}

bool FolderLock::held() const {
  return fd_ >= 0;
}

Renamed RenameUnlessTaken(const std::filesystem::path& from, const std::filesystem::path& to) {
  // The name is claimed by the link, which fails when the name is taken.
  if (::link(from.c_str(), to.c_str()) != 0) {
    return errno == EEXIST ? Renamed::NameTaken : Renamed::Failed;
  }
  if (::unlink(from.c_str()) != 0) {
    ::unlink(to.c_str());
    return Renamed::Failed;
  }
  return Renamed::Done;
}

}  // namespace torv2::history
