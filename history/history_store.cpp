#include "history/history_store.h"

#include <chrono>
#include <iterator>
#include <system_error>
#include <thread>
#include <utility>

#include "history/history_files.h"
#include "history/utc_time.h"

namespace torv2::history {
namespace {

// Not an SQLite code: the file's layout is newer than this program knows.
constexpr int kNewerLayout = -1;

// The current layout, written whole into a new file.
constexpr char kCreateLayout[] = R"sql(
CREATE TABLE IF NOT EXISTS attempts(
  id INTEGER PRIMARY KEY,
  time_utc TEXT NOT NULL,
  program TEXT NOT NULL,
  kind TEXT NOT NULL,
  device TEXT NOT NULL,
  version_before TEXT,
  version_carried TEXT,
  outcome TEXT NOT NULL,
  failed_parts TEXT,
  sockets TEXT,
  version_after TEXT,
  duration_ms INTEGER NOT NULL,
  bus_address TEXT,
  cause TEXT);
CREATE INDEX IF NOT EXISTS attempts_by_device ON attempts(device, time_utc);
)sql";

// Layout 1 had neither the bus address nor the cause of an error.
constexpr char kFrom1To2[] = R"sql(
ALTER TABLE attempts ADD COLUMN bus_address TEXT;
ALTER TABLE attempts ADD COLUMN cause TEXT;
CREATE INDEX IF NOT EXISTS attempts_by_device ON attempts(device, time_utc);
)sql";

// The steps from each layout to the next: kSteps[0] takes a file of layout 1 to layout 2, and so
// on. A new layout is one more step here, with kSchemaVersion raised, and kCreateLayout the
// layout it makes.
constexpr const char* kSteps[] = {kFrom1To2};
static_assert(std::size(kSteps) == kSchemaVersion - 1);

constexpr char kInsert[] =
    "INSERT INTO attempts(time_utc, program, kind, device, bus_address, version_before, "
    "version_carried, outcome, failed_parts, cause, sockets, version_after, duration_ms) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)";

// The same thirteen values in place of the row Begin() wrote: ?14 its id, ?15 its time, ?16 the
// unfinished outcome.
constexpr char kUpdate[] =
    "UPDATE attempts SET time_utc = ?1, program = ?2, kind = ?3, device = ?4, bus_address = ?5, "
    "version_before = ?6, version_carried = ?7, outcome = ?8, failed_parts = ?9, cause = ?10, "
    "sockets = ?11, version_after = ?12, duration_ms = ?13 "
    "WHERE id = ?14 AND time_utc = ?15 AND outcome = ?16";

constexpr char kSelect[] =
    "SELECT time_utc, program, kind, device, bus_address, version_before, version_carried, "
    "outcome, failed_parts, cause, sockets, version_after, duration_ms FROM attempts "
    "WHERE (?1 = '' OR device = ?1) AND (?2 = '' OR time_utc >= ?2) "
    "ORDER BY time_utc DESC, id DESC";

// Empty text is stored as NULL: "not known".
void BindText(sqlite3_stmt* statement, int index, const std::string& text) {
  if (text.empty()) {
    sqlite3_bind_null(statement, index);
  } else {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
}

// A row's thirteen values as ?1 to ?13, in kInsert's order.
void BindRow(sqlite3_stmt* s, const AttemptRow& row) {
  BindText(s, 1, row.timeUtc);
  BindText(s, 2, row.program);
  BindText(s, 3, row.kind);
  sqlite3_bind_text(s, 4, row.device.data(), static_cast<int>(row.device.size()),
                    SQLITE_TRANSIENT);  // never NULL: "" is an unknown programmer
  BindText(s, 5, row.busAddress);
  BindText(s, 6, row.versionBefore);
  BindText(s, 7, row.versionCarried);
  BindText(s, 8, row.outcome);
  BindText(s, 9, row.failedParts);
  BindText(s, 10, row.cause);
  BindText(s, 11, row.sockets);
  BindText(s, 12, row.versionAfter);
  sqlite3_bind_int64(s, 13, row.durationMs);
}

std::string ColumnText(sqlite3_stmt* statement, int index) {
  const unsigned char* text = sqlite3_column_text(statement, index);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(statement, index)));
}

// "20261210T164129Z"
std::string FileStamp(std::chrono::system_clock::time_point when) {
  return FormatUtc(when, "%Y%m%dT%H%M%SZ");
}

// The layout of the file `db` has open, or nullopt when it cannot be read.
std::optional<int> Layout(sqlite3* db) {
  const Statement statement = Prepare(db, "PRAGMA user_version");
  if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int(statement.get(), 0);
}

std::string Reason(int code, const std::string& detail) {
  switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "it is locked by another program (" + detail + ")";
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_AUTH:
      return "it cannot be written (" + detail + ")";
    case SQLITE_FULL:
      return "the disk is full (" + detail + ")";
    default:
      break;
  }
  if (code == kNewerLayout) return "it was written by a newer version of this program";
  return detail;
}

}  // namespace

bool IsDamaged(int sqliteCode) {
  const int primary = sqliteCode & 0xff;
  return sqliteCode > 0 && (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB);
}

HistoryStore::HistoryStore(std::filesystem::path path, WarningSink warn, StoreOptions options)
    : path_(std::move(path)), warn_(std::move(warn)), options_(std::move(options)) {}

HistoryStore::Failure HistoryStore::LastFailure(sqlite3* db) {
  if (!db) return {SQLITE_CANTOPEN, "cannot open the file"};
  return {sqlite3_extended_errcode(db), sqlite3_errmsg(db)};
}

std::optional<HistoryStore::Failure> HistoryStore::Exec(sqlite3* db, std::string_view sql) {
  const std::string text(sql);
  if (sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    return LastFailure(db);
  }
  return std::nullopt;
}

std::optional<HistoryStore::Failure> HistoryStore::Open() {
  // Two programs that open a new file at the same moment may find it locked while the other
  // switches it to its log mode or lays out its table; SQLite's busy handler does not cover
  // every such step, so the whole opening is tried again until the busy time-out.
  const auto until = std::chrono::steady_clock::now() + options_.busyTimeout;
  for (;;) {
    auto failure = OpenOnce();
    const int primary = failure ? (failure->code & 0xff) : SQLITE_OK;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
        std::chrono::steady_clock::now() >= until) {
      return failure;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<HistoryStore::Failure> HistoryStore::OpenOnce() {
  db_.reset();
  file_.reset();
  writable_ = false;
  std::error_code error;
  if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), error);
  if (error) {
    return Failure{SQLITE_CANTOPEN, "cannot make the folder " + Utf8Name(path_.parent_path()) +
                                        ": " + error.message()};
  }
  {
    // SQLite opens the file, its log and the log's index here, each by name; what is at the path
    // under the lock is the file they belong to.
    // The lock is shared by those who open, exclusive for who sets a damaged file aside: so
    // the file a connection was found to have open is still the one at the path when that
    // connection finds it damaged, unless another program has set it aside.
    const FolderLock lock(path_, FolderLock::Mode::Shared);
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(
        Utf8Name(path_).c_str(), &raw,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    db_.reset(raw);
    if (opened != SQLITE_OK) {
      Failure failure = LastFailure(db_.get());
      db_.reset();
      return failure;
    }
    if (lock.held()) file_ = IdOfFile(path_);
    sqlite3* db = db_.get();
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, static_cast<int>(options_.busyTimeout.count()));
    if (auto failure = Exec(db, "PRAGMA journal_mode=WAL")) return failure;
  }
  sqlite3* db = db_.get();
  // A commit reaches the log without waiting for the disk; the file stays whole when the
  // program is killed, and a power cut can take only the last rows, never tear one.
  if (auto failure = Exec(db, "PRAGMA synchronous=NORMAL")) return failure;
  if (sqlite3_db_readonly(db, "main") == 1) {
    return Failure{SQLITE_READONLY, "the file is read-only"};
  }
  if (auto failure = Migrate(db)) return failure;
  writable_ = true;
  return std::nullopt;
}

std::optional<HistoryStore::Failure> HistoryStore::Migrate(sqlite3* db) {
  std::optional<int> found = Layout(db);
  if (!found) return LastFailure(db);
  if (*found == kSchemaVersion) return std::nullopt;
  if (*found > kSchemaVersion) return Failure{kNewerLayout, {}};

  // Another program may be bringing the same file up to date: look again under the write lock.
  if (auto failure = Exec(db, "BEGIN IMMEDIATE")) return failure;
  std::optional<Failure> failure;
  found = Layout(db);
  if (!found) {
    failure = LastFailure(db);
  } else if (*found > kSchemaVersion) {
    failure = Failure{kNewerLayout, {}};
  } else if (*found == 0) {
    failure = Exec(db, kCreateLayout);
  } else {
    for (int layout = *found; layout < kSchemaVersion && !failure; ++layout) {
      failure = Exec(db, kSteps[layout - 1]);
    }
  }
  if (!failure && found && *found < kSchemaVersion) {
    failure = Exec(db, "PRAGMA user_version = " + std::to_string(kSchemaVersion));
  }
  if (!failure) failure = Exec(db, "COMMIT");
  if (failure) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return failure;
}

std::optional<HistoryStore::Failure> HistoryStore::UpToDateCopy(Connection& copy) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE, nullptr);
  copy.reset(raw);
  if (opened != SQLITE_OK) return LastFailure(copy.get());
  sqlite3_extended_result_codes(copy.get(), 1);
  int copied = SQLITE_OK;
  {
    const Backup backup(sqlite3_backup_init(copy.get(), "main", db_.get(), "main"));
    if (!backup) return LastFailure(copy.get());
    copied = sqlite3_backup_step(backup.get(), -1);
  }
  if (copied != SQLITE_DONE) return Failure{copied, sqlite3_errstr(copied)};
  return Migrate(copy.get());
}

std::optional<HistoryStore::Failure> HistoryStore::Insert(const AttemptRow& row,
                                                          const BegunRow* replacing,
                                                          std::int64_t& id) {
  sqlite3* db = db_.get();
  if (auto failure = Exec(db, "BEGIN IMMEDIATE")) return failure;
  std::optional<Failure> failure;
  bool replaced = false;
  if (replacing) {
    // Only the very row Begin() wrote, still unfinished: the file may be another one by now.
    if (const Statement update = Prepare(db, kUpdate); !update) {
      failure = LastFailure(db);
    } else {
      sqlite3_stmt* s = update.get();
      BindRow(s, row);
      sqlite3_bind_int64(s, 14, replacing->id);
      BindText(s, 15, replacing->timeUtc);
      sqlite3_bind_text(s, 16, kOutcomeUnfinished, -1, SQLITE_STATIC);
      if (sqlite3_step(s) != SQLITE_DONE) {
        failure = LastFailure(db);
      } else if (sqlite3_changes(db) == 1) {
        replaced = true;
        id = replacing->id;
      }
    }
  }
  if (!failure && !replaced) {
    if (const Statement insert = Prepare(db, kInsert); !insert) {
      failure = LastFailure(db);
    } else {
      BindRow(insert.get(), row);
      if (sqlite3_step(insert.get()) != SQLITE_DONE) {
        failure = LastFailure(db);
      } else {
        id = sqlite3_last_insert_rowid(db);
      }
    }
  }
  if (!failure) failure = Exec(db, "COMMIT");
  if (failure && !sqlite3_get_autocommit(db)) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return failure;
}

HistoryStore::Aside HistoryStore::SetAside(std::string& aside) {
  db_.reset();
  writable_ = false;
  const std::optional<FileId> damaged = std::exchange(file_, std::nullopt);
  if (!damaged) return Aside::Failed;  // not known which file it was: leave the path alone
  const FolderLock lock(path_, FolderLock::Mode::Exclusive);
  if (!lock.held()) return Aside::Failed;
  if (IdOfFile(path_) != damaged) return Aside::Replaced;
  const std::string base = Utf8Name(path_);
  const std::string stamp = base + ".damaged-" + FileStamp(options_.now());
  for (int n = 1;; ++n) {
    aside = n == 1 ? stamp : stamp + "-" + std::to_string(n);
    const Renamed renamed = RenameUnlessTaken(path_, PathOfUtf8(aside));
    if (renamed == Renamed::Done) break;
    if (renamed == Renamed::Failed || n == 1000) return Aside::Failed;
  }
  // The write-ahead log belongs to the damaged file: a new file must not take its pages.
  std::error_code error;
  for (const char* companion : {"-wal", "-shm"}) {
    const std::filesystem::path from = PathOfUtf8(base + companion);
    if (std::filesystem::exists(from, error)) {
      std::filesystem::rename(from, PathOfUtf8(aside + companion), error);
    }
  }
  return Aside::Kept;
}

void HistoryStore::Warn(const Failure& failure) {
  if (warned_) return;
  warned_ = true;
  if (warn_) {
    warn_("history: this attempt is not recorded in " + Utf8Name(path_) + ": " +
          Reason(failure.code, failure.detail) + "; the upgrade goes on");
  }
}

std::optional<std::int64_t> HistoryStore::Write(const AttemptRow& row, const BegunRow* replacing) {
  std::lock_guard lock(mutex_);
  // Opens the file at the first row; a damaged one is kept aside and a new one started, also
  // when the damage shows only while writing. When another program has set it aside first, the
  // row goes to the file that program started, without a word.
  std::optional<Failure> failure;
  std::int64_t id = 0;
  for (int round = 0; round < 2; ++round) {
    if (!db_ || !writable_) failure = Open();
    if (!failure) failure = Insert(row, replacing, id);
    if (!failure) return id;
    if (!IsDamaged(failure->code) || round > 0) break;
    std::string aside;
    const Aside setAside = SetAside(aside);
    if (setAside == Aside::Failed) break;
    if (setAside == Aside::Kept) {
      if (!warned_ && warn_) {
        warn_("history: " + Utf8Name(path_) + " was damaged (" + failure->detail +
              "); kept it as " + aside + " and started a new one");
      }
      warned_ = true;
    }
    failure.reset();
  }
  if (failure) {
    Warn(*failure);
    db_.reset();  // the next attempt opens the file again
  }
  return std::nullopt;
}

bool HistoryStore::Record(const AttemptRow& row) {
  return Write(row, nullptr).has_value();
}

std::optional<BegunRow> HistoryStore::Begin(const AttemptRow& row) {
  const std::optional<std::int64_t> id = Write(row, nullptr);
  if (!id) return std::nullopt;
  return BegunRow{*id, row.timeUtc};
}

bool HistoryStore::Complete(const BegunRow& begun, const AttemptRow& row) {
  return Write(row, &begun).has_value();
}

std::optional<std::vector<AttemptRow>> HistoryStore::Read(const ReadFilter& filter,
                                                          std::string& error) {
  std::lock_guard lock(mutex_);
  if (!db_) {
    // A file this program cannot write (read-only, newer) can still be read.
    if (const auto failure = Open(); failure && !db_) {
      error = Reason(failure->code, failure->detail);
      return std::nullopt;
    }
  }
  // A file this program could not bring up to date (read-only, locked) is read through a copy
  // that is.
  sqlite3* db = db_.get();
  Connection copy;
  if (!writable_) {
    const std::optional<int> layout = Layout(db);
    if (!layout) {
      error = LastFailure(db).detail;
      return std::nullopt;
    }
    if (*layout < kSchemaVersion) {
      if (const auto failure = UpToDateCopy(copy)) {
        error = Reason(failure->code, failure->detail);
        return std::nullopt;
      }
      db = copy.get();
    }
  }
  const Statement select = Prepare(db, kSelect);
  if (!select) {
    error = LastFailure(db).detail;
    return std::nullopt;
  }
  sqlite3_bind_text(select.get(), 1, filter.device.data(), static_cast<int>(filter.device.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_text(select.get(), 2, filter.since.data(), static_cast<int>(filter.since.size()),
                    SQLITE_TRANSIENT);
  std::vector<AttemptRow> rows;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
    sqlite3_stmt* s = select.get();
    rows.push_back({ColumnText(s, 0), ColumnText(s, 1), ColumnText(s, 2), ColumnText(s, 3),
                    ColumnText(s, 4), ColumnText(s, 5), ColumnText(s, 6), ColumnText(s, 7),
                    ColumnText(s, 8), ColumnText(s, 9), ColumnText(s, 10), ColumnText(s, 11),
                    sqlite3_column_int64(s, 12)});
  }
  if (step != SQLITE_DONE) {
    error = LastFailure(db).detail;
    return std::nullopt;
  }
  return rows;
}

}  // namespace torv2::history
