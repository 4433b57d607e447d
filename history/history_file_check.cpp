#include "history/history_file_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

#include "history/sqlite_handles.h"

namespace torv2::history {
namespace {

// The first 16 bytes of every SQLite file.
constexpr char kSqliteHeader[16] = "SQLite format 3";  // and its NUL

// Whether what is at `path` exists, and what it is; errno tells when it cannot be looked at.
std::optional<struct stat> Look(const std::filesystem::path& path) {
  struct stat found {};
  if (::stat(path.c_str(), &found) != 0) return std::nullopt;
  return found;
}

// Whether the folder `path` goes in is there (or may be made), and is a folder.
std::optional<std::string> WhyNotAFolderAbove(const std::filesystem::path& path,
                                              MissingFolder missingFolder) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  // Up to the nearest part of the path that is there: it must be a folder.
  std::filesystem::path nearest = folder;
  bool missing = false;
  for (;;) {
    errno = 0;
    if (const auto found = Look(nearest)) {
      if (!S_ISDIR(found->st_mode)) return nearest.string() + " is not a folder";
      break;
    }
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;  // e.g. no permission: a warning
    missing = true;
    if (nearest == ".") break;
    const std::filesystem::path above = nearest.has_parent_path() ? nearest.parent_path() : ".";
    if (above == nearest) break;
    nearest = above;
  }
  if (missing && missingFolder == MissingFolder::Refuse) {
    return "the folder " + folder.string() + " does not exist";
  }
  return std::nullopt;
}

// For a file that is there: whether it is this program's history (or may become it).
std::optional<std::string> WhyNotOurs(const std::filesystem::path& path, off_t size) {
  if (size == 0) return std::nullopt;  // SQLite starts an empty file as a new database
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;  // it cannot be read: the store says so as a warning
  std::array<char, sizeof kSqliteHeader> header{};
  ssize_t got = 0;
  while ((got = ::pread(fd, header.data(), header.size(), 0)) < 0 && errno == EINTR) {
  }
  ::close(fd);
  if (got != static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), kSqliteHeader, header.size()) != 0) {
    return "it is not an SQLite file";
  }

  // Read-only, so nothing in the file changes, whoever it belongs to.
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const Connection db(raw);
  if (opened != SQLITE_OK) return std::nullopt;
  std::set<std::string> tables;
  int objects = 0;
  {
    const Statement list = Prepare(db.get(), "SELECT type, name FROM sqlite_master");
    if (!list) return std::nullopt;  // locked, damaged: the store deals with it
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(list.get())) == SQLITE_ROW) {
      ++objects;
      const auto* type = sqlite3_column_text(list.get(), 0);
      const auto* name = sqlite3_column_text(list.get(), 1);
      if (type && name && std::strcmp(reinterpret_cast<const char*>(type), "table") == 0) {
        tables.insert(reinterpret_cast<const char*>(name));
      }
    }
    if (step != SQLITE_DONE) return std::nullopt;
  }
  int layout = 0;
  if (const Statement version = Prepare(db.get(), "PRAGMA user_version");
      version && sqlite3_step(version.get()) == SQLITE_ROW) {
    layout = sqlite3_column_int(version.get(), 0);
  }
  if (objects == 0 && layout == 0) return std::nullopt;  // an empty database: ours to lay out
  if (tables.count("attempts") == 1) {
    std::set<std::string> columns;
    const Statement info = Prepare(db.get(), "SELECT name FROM pragma_table_info('attempts')");
    if (!info) return std::nullopt;
    while (sqlite3_step(info.get()) == SQLITE_ROW) {
      if (const auto* name = sqlite3_column_text(info.get(), 0)) {
        columns.insert(reinterpret_cast<const char*>(name));
      }
    }
    // Every layout so far has these.
    bool all = true;
    for (const char* column : {"time_utc", "program", "kind", "device", "outcome"}) {
      all = all && columns.count(column) == 1;
    }
    if (all) return std::nullopt;
  }
  return "it is another program's SQLite database";
}

}  // namespace

std::optional<std::string> WhyNotAHistoryFile(const std::filesystem::path& path,
                                              MissingFolder missingFolder) {
  const std::string& text = path.native();
  if (text.empty()) return "the name is empty";
  if (text.size() >= PATH_MAX) {
    return "the name is too long (" + std::to_string(text.size()) + " bytes; at most " +
           std::to_string(PATH_MAX - 1) + ")";
  }
  for (const std::filesystem::path& part : path) {
    if (part.native().size() > NAME_MAX) {
      return "a part of the name is too long (" + std::to_string(part.native().size()) +
             " bytes; at most " + std::to_string(NAME_MAX) + ")";
    }
  }
  if (!path.has_filename()) return "it names a folder, not a file";
  errno = 0;
  if (const auto found = Look(path)) {
    if (S_ISDIR(found->st_mode)) return "it is a folder";
    if (!S_ISREG(found->st_mode)) return "it is not a regular file";
    return WhyNotOurs(path, found->st_size);
  }
  if (errno == ENAMETOOLONG) return "the name is too long";
  if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;  // e.g. no permission: a warning
  return WhyNotAFolderAbove(path, missingFolder);
}

}  // namespace torv2::history
