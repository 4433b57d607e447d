#pragma once
// The history of status checks and upgrade attempts in an SQLite file.
//
// Writers append one row per attempt, each in one transaction, so a program killed on the way
// never leaves part of a row. An upgrade's row is written when it begins (as unfinished) and
// completed in place at its end, so a program killed in between leaves a row that says so. Several
// connections (threads, processes: eight programmers at once and the desktop program beside them)
// write to one file at the same time: the file is in WAL mode and a writer waits up to the busy
// time-out for the others.
//
// History never stops an upgrade. A file that is locked too long, read-only, on a full disk, or
// made by a newer program gives one warning for the store's lifetime and the attempt goes on
// unrecorded. A damaged file is renamed aside with a time stamp (never deleted) and a new one is
// started; only the very file found damaged is renamed, never one another program has started
// meanwhile.
//
// The layout is versioned with PRAGMA user_version; an older file is brought up to date in place,
// keeping its rows, one step per layout. One that cannot be written is read through a copy in
// memory brought up to date by the same steps.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/attempt_row.h"
#include "history/history_files.h"
#include "history/sqlite_handles.h"

namespace torv2::history {

// The layout this program writes.
inline constexpr int kSchemaVersion = 2;

struct StoreOptions {
  // How long a writer waits for the others before it gives up on the row.
  std::chrono::milliseconds busyTimeout{5000};
  // The time stamp in the name of a damaged file kept aside.
  std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
};

// Shown to the user: one line, no trailing newline.
using WarningSink = std::function<void(std::string_view)>;

struct ReadFilter {
  std::string device;  // empty: every programmer
  std::string since;   // "2026-12-10" or a longer UTC time; empty: from the beginning
};

// A row written by Begin(), to be completed.
struct BegunRow {
  std::int64_t id = 0;
  std::string timeUtc;  // the row's time, to know it again
};

class HistoryStore {
 public:
  // Opens or creates the file (and its folder). Never throws; a file that cannot be used warns.
  HistoryStore(std::filesystem::path path, WarningSink warn, StoreOptions options = {});
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Appends one row in one transaction; false when it was not recorded. Any thread.
  bool Record(const AttemptRow& row);
  // Appends the row of an attempt that begins; nullopt when it was not recorded. Any thread.
  std::optional<BegunRow> Begin(const AttemptRow& row);
  // Puts `row` in place of the one Begin() wrote, in one transaction; appends it when that row is
  // not there any more (its file was set aside meanwhile). False when it was not recorded.
  bool Complete(const BegunRow& begun, const AttemptRow& row);

  // The rows that match, newest first; nullopt with `error` set when the file cannot be read.
  std::optional<std::vector<AttemptRow>> Read(const ReadFilter& filter, std::string& error);

  const std::filesystem::path& path() const { return path_; }

 private:
  // What went wrong with the file, for the warning.
  struct Failure {
    int code = SQLITE_OK;
    std::string detail;
  };

  enum class Aside {
    Kept,      // the damaged file was renamed aside
    Replaced,  // another program had already set it aside: the file there now is another one
    Failed,    // it could not be renamed
  };

  std::optional<Failure> Open();
  std::optional<Failure> OpenOnce();
  // Writes `row` in place of `replacing` when that row is there, else appends it; `id` gets the
  // row's id.
  std::optional<Failure> Insert(const AttemptRow& row, const BegunRow* replacing, std::int64_t& id);
  // Record(), Begin() and Complete(): the row's id, or nullopt when it was not recorded.
  std::optional<std::int64_t> Write(const AttemptRow& row, const BegunRow* replacing);
  // A copy in memory of the open file, brought up to date, for reading a file of an older layout
  // that cannot be brought up to date in place.
  std::optional<Failure> UpToDateCopy(Connection& copy);
  // Renames the damaged file this store has open (and its WAL companions) aside; `aside` gets
  // the name it was given.
  Aside SetAside(std::string& aside);
  void Warn(const Failure& failure);

  static std::optional<Failure> Exec(sqlite3* db, std::string_view sql);
  static Failure LastFailure(sqlite3* db);
  // Brings the layout of `db` up to date, one step per layout.
  static std::optional<Failure> Migrate(sqlite3* db);

  std::filesystem::path path_;
  WarningSink warn_;
  StoreOptions options_;
  std::mutex mutex_;  // one attempt at a time on the connection
  Connection db_;
  std::optional<FileId> file_;  // the file db_ has open, when known
  bool writable_ = false;
  bool warned_ = false;
};

bool IsDamaged(int sqliteCode);

}  // namespace torv2::history
