#include "history/history_file_check.h"

#include <array>
#include <climits>
#include <cstring>
#include <fstream>
#include <set>
#include <system_error>

#include "history/history_files.h"
#include "history/sqlite_handles.h"

namespace torv2::history {
namespace {

// The first 16 bytes of every SQLite file.
constexpr char kSqliteHeader[16] = "SQLite format 3";  // and its NUL

// The longest name, and the longest part of one, that can be a file here: in bytes on POSIX
// systems, in UTF-16 units on Windows (where SQLite takes no name of MAX_PATH or more).
#ifdef _WIN32
constexpr std::size_t kLongestName = 259;
constexpr std::size_t kLongestPart = 255;
constexpr char kUnits[] = "characters";
#else
constexpr std::size_t kLongestName = PATH_MAX - 1;
constexpr std::size_t kLongestPart = NAME_MAX;
constexpr char kUnits[] = "bytes";
#endif

// What is at `path`: file_type::not_found when nothing is, file_type::none (with `error`) when it
// cannot be looked at.
std::filesystem::file_type Look(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  return std::filesystem::status(path, error).type();
}

// Whether the folder `path` goes in is there (or may be made), and is a folder.
std::optional<std::string> WhyNotAFolderAbove(const std::filesystem::path& path,
                                              MissingFolder missingFolder) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  // Up to the nearest part of the path that is there: it must be a folder.
  std::filesystem::path nearest = folder;
  bool missing = false;
  for (;;) {
    std::error_code error;
    const std::filesystem::file_type found = Look(nearest, error);
    if (found == std::filesystem::file_type::none) return std::nullopt;  // e.g. no permission
    if (found != std::filesystem::file_type::not_found) {
      if (found != std::filesystem::file_type::directory) {
        return Utf8Name(nearest) + " is not a folder";
      }
      break;
    }
    missing = true;
    if (nearest == ".") break;
    const std::filesystem::path above = nearest.has_parent_path() ? nearest.parent_path() : ".";
    if (above == nearest) break;
    nearest = above;
  }
  if (missing && missingFolder == MissingFolder::Refuse) {
    return "the folder " + Utf8Name(folder) + " does not exist";
  }
  return std::nullopt;
}

// For a file that is there: whether it is this program's history (or may become it).
std::optional<std::string> WhyNotOurs(const std::filesystem::path& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;      // the store says so as a warning
  if (size == 0) return std::nullopt;  // SQLite starts an empty file as a new database
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;  // it cannot be read: the store says so as a warning
  std::array<char, sizeof kSqliteHeader> header{};
  file.read(header.data(), static_cast<std::streamsize>(header.size()));
  if (file.gcount() != static_cast<std::streamsize>(header.size()) ||
      std::memcmp(header.data(), kSqliteHeader, header.size()) != 0) {
    return "it is not an SQLite file";
  }
  file.close();

  // Read-only, so nothing in the file changes, whoever it belongs to.
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(Utf8Name(path).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
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
  const auto& text = path.native();
  if (text.empty()) return "the name is empty";
  if (text.size() > kLongestName) {
    return "the name is too long (" + std::to_string(text.size()) + " " + kUnits + "; at most " +
           std::to_string(kLongestName) + ")";
  }
  for (const std::filesystem::path& part : path) {
    if (part.native().size() > kLongestPart) {
      return "a part of the name is too long (" + std::to_string(part.native().size()) + " " +
             kUnits + "; at most " + std::to_string(kLongestPart) + ")";
    }
  }
  if (!path.has_filename()) return "it names a folder, not a file";
  std::error_code error;
  switch (Look(path, error)) {
    case std::filesystem::file_type::not_found:
      return WhyNotAFolderAbove(path, missingFolder);
    case std::filesystem::file_type::none:
      if (error == std::errc::filename_too_long) return "the name is too long";
      return std::nullopt;  // e.g. no permission: the store warns
    case std::filesystem::file_type::directory:
      return "it is a folder";
    case std::filesystem::file_type::regular:
      return WhyNotOurs(path);
    default:
      return "it is not a regular file";
  }
}

}  // namespace torv2::history
