// The history file: rows in and out, many writers at once, an older layout, and every way the
// file can be unusable (each gives one warning and no row; a damaged file is kept aside).

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "history/history_store.h"
#include "tests/history/history_test_support.h"

namespace torv2::history {
namespace {

using namespace std::chrono_literals;
using testing::Collected;
using testing::RawSql;
using testing::Row;
using testing::TempFolder;
using testing::WithoutFileOverride;

std::vector<AttemptRow> ReadAll(HistoryStore& store, const ReadFilter& filter = {}) {
  std::string error;
  auto rows = store.Read(filter, error);
  EXPECT_TRUE(rows) << error;
  return rows ? *rows : std::vector<AttemptRow>{};
}

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(HistoryStore, KeepsEveryFieldAndReadsNewestFirst) {
  TempFolder folder;
  Collected warnings;
  HistoryStore store(folder.path() / "deep" / "er" / "history.sqlite", warnings.sink());
  AttemptRow full = Row("VIRTUAL1", "2026-12-10T10:00:00.000Z");
  full.busAddress = "001:004";
  full.failedParts = "main, sockets 3";
  full.cause = "the programmer stopped answering";
  full.sockets = "UUXUUUUU";
  full.versionAfter = "2.08";
  full.durationMs = 4321;
  ASSERT_TRUE(store.Record(full));
  ASSERT_TRUE(store.Record(Row("1-2", "2026-12-11T09:00:00.000Z")));
  ASSERT_TRUE(store.Record(Row("VIRTUAL1", "2026-12-12T08:00:00.000Z")));

  const auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].timeUtc, "2026-12-12T08:00:00.000Z");
  EXPECT_EQ(rows[1].device, "1-2");
  EXPECT_EQ(rows[2], full);

  EXPECT_EQ(ReadAll(store, {.device = "VIRTUAL1"}).size(), 2u);
  EXPECT_EQ(ReadAll(store, {.since = "2026-12-11"}).size(), 2u);
  EXPECT_EQ(ReadAll(store, {.device = "1-2", .since = "2026-12-11T09:00:01"}).size(), 0u);
  EXPECT_TRUE(warnings.lines().empty());
  EXPECT_EQ(RawSql(store.path(), "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(RawSql(store.path(), "PRAGMA user_version"), "2");
}

// Eight threads, each with a connection of its own (as eight programs would), and eight threads
// sharing one connection (as --all does): every row arrives.
TEST(HistoryStore, EightThreadsLoseNoRow) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  constexpr int kThreads = 8;
  constexpr int kRows = 40;
  Collected warnings;
  HistoryStore shared(path, warnings.sink());
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        HistoryStore own(path, warnings.sink());
        for (int i = 0; i < kRows; ++i) {
          EXPECT_TRUE(own.Record(Row("own" + std::to_string(t), "2026-12-10T10:00:00.000Z")));
          EXPECT_TRUE(shared.Record(Row("shared" + std::to_string(t), "2026-12-10T10:00:00.000Z")));
        }
      });
    }
  }
  EXPECT_TRUE(warnings.lines().empty());
  EXPECT_EQ(RawSql(path, "SELECT count(*) FROM attempts"), std::to_string(2 * kThreads * kRows));
  EXPECT_EQ(RawSql(path, "SELECT count(DISTINCT device) FROM attempts"), "16");
}

#ifndef _WIN32  // one process's writers against another's: with fork() and a kill in the middle
TEST(HistoryStore, TwoProcessesLoseNoRow) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  constexpr int kRows = 100;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failed = 0;
      {
        HistoryStore store(path, [&failed](std::string_view) { ++failed; });
        for (int i = 0; i < kRows; ++i) {
          if (!store.Record(Row("process" + std::to_string(p), "2026-12-10T10:00:00.000Z"))) {
            ++failed;
          }
        }
      }
      ::_exit(failed == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(RawSql(path, "SELECT count(*) FROM attempts"), std::to_string(2 * kRows));
}

// A writer killed while it keeps writing leaves a sound file: every row in it is whole, and the
// next program goes on writing.
TEST(HistoryStore, WriterKilledMidWayLeavesWholeRows) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  int written[2];
  ASSERT_EQ(::pipe(written), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(written[0]);
    HistoryStore store(path, nullptr);
    AttemptRow row = Row("VIRTUAL1", "2026-12-10T10:00:00.000Z");
    row.sockets = "UUUUUUUU";
    row.failedParts = std::string(3000, 'p');  // rows that span pages
    for (;;) {
      if (store.Record(row) && ::write(written[1], "r", 1) != 1) ::_exit(1);
    }
  }
  ::close(written[1]);
  int rows = 0;
  char byte = 0;
  while (rows < 30 && ::read(written[0], &byte, 1) == 1) ++rows;
  ::kill(child, SIGKILL);  // our own child, in the middle of its next row
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(written[0]);
  ASSERT_EQ(rows, 30);

  EXPECT_EQ(RawSql(path, "PRAGMA integrity_check"), "ok");
  const int kept = std::stoi(RawSql(path, "SELECT count(*) FROM attempts"));
  EXPECT_GE(kept, 30);
  EXPECT_EQ(RawSql(path,
                   "SELECT count(*) FROM attempts WHERE sockets IS NOT 'UUUUUUUU' OR "
                   "length(failed_parts) IS NOT 3000 OR duration_ms IS NOT 650"),
            "0");
  Collected warnings;
  HistoryStore next(path, warnings.sink());
  EXPECT_TRUE(next.Record(Row("VIRTUAL1", "2026-12-10T10:00:01.000Z")));
  EXPECT_EQ(RawSql(path, "SELECT count(*) FROM attempts"), std::to_string(kept + 1));
  EXPECT_TRUE(warnings.lines().empty());
}

#endif

// A file of the first layout, which had no bus address and no cause, in WAL mode with two rows.
constexpr char kLayoutOne[] =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE attempts(id INTEGER PRIMARY KEY, time_utc TEXT NOT NULL, program TEXT NOT "
    "NULL, kind TEXT NOT NULL, device TEXT NOT NULL, version_before TEXT, version_carried "
    "TEXT, outcome TEXT NOT NULL, failed_parts TEXT, sockets TEXT, version_after TEXT, "
    "duration_ms INTEGER NOT NULL);"
    "INSERT INTO attempts VALUES(1, '2026-01-01T00:00:00.000Z', 'torv2-upgrader', 'upgrade', "
    "'OLD1', '2.06', '2.07', 'ok', NULL, 'UUUUUUUU', '2.07', 5000);"
    "INSERT INTO attempts VALUES(2, '2026-01-02T00:00:00.000Z', 'torv2-upgrader-cli', "
    "'upgrade', 'OLD2', '2.06', '2.07', 'report failure', 'sub', 'UUUUUUUX', '2.07', 6000);"
    "PRAGMA user_version = 1;";

// The rows of kLayoutOne as read back, newest first.
void ExpectLayoutOneRows(const std::vector<AttemptRow>& rows) {
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].device, "OLD2");
  EXPECT_EQ(rows[0].failedParts, "sub");
  EXPECT_EQ(rows[0].sockets, "UUUUUUUX");
  EXPECT_EQ(rows[0].durationMs, 6000);
  EXPECT_EQ(rows[1].program, "torv2-upgrader");
  EXPECT_EQ(rows[1].versionBefore, "2.06");
  EXPECT_EQ(rows[1].busAddress, "");
  EXPECT_EQ(rows[1].cause, "");
}

TEST(HistoryStore, LayoutOneIsBroughtUpToDateKeepingItsRows) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  RawSql(path, kLayoutOne);
  Collected warnings;
  HistoryStore store(path, warnings.sink());
  AttemptRow now = Row("NEW", "2026-12-10T10:00:00.000Z");
  now.busAddress = "001:002";
  now.cause = "why";
  ASSERT_TRUE(store.Record(now));

  auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], now);
  rows.erase(rows.begin());
  ExpectLayoutOneRows(rows);
  EXPECT_EQ(RawSql(path, "PRAGMA user_version"), "2");
  EXPECT_TRUE(warnings.lines().empty());
}

// Wine run by root writes a read-only file all the same: the read-only cases are tried on POSIX.
#ifndef _WIN32
// A file of the first layout that cannot be written is read as it is, and left so.
TEST(HistoryStore, ReadOnlyFileOfLayoutOneIsRead) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  RawSql(path, kLayoutOne);
  const std::string before = FileBytes(path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  {
    WithoutFileOverride asUser;  // root could write it anyway
    Collected warnings;
    HistoryStore store(path, warnings.sink());
    ExpectLayoutOneRows(ReadAll(store));
    ExpectLayoutOneRows(ReadAll(store));  // again, on the connection the first read opened
    EXPECT_EQ(ReadAll(store, {.device = "OLD1"}).size(), 1u);
    EXPECT_TRUE(warnings.lines().empty());
  }
  EXPECT_EQ(FileBytes(path), before);
}
#endif

// A file from a newer program is left as it is.
TEST(HistoryStore, NewerLayoutIsNotWritten) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  RawSql(path, "CREATE TABLE attempts(x); PRAGMA user_version = 3;");
  Collected warnings;
  HistoryStore store(path, warnings.sink());
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_NE(warnings.lines()[0].find("written by a newer version of this program"),
            std::string::npos);
  EXPECT_EQ(RawSql(path, "SELECT count(*) FROM attempts"), "0");
}

struct DamageCase {
  const char* name;
  // Damages the file at `path`, which already holds one row.
  void (*damage)(const std::filesystem::path& path);
  friend void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }
};

class DamagedFile : public ::testing::TestWithParam<DamageCase> {};

// The damaged file is renamed with a time stamp, byte for byte as it was, with its log; a new
// file takes the row.
TEST_P(DamagedFile, IsKeptAsideAndANewOneStarted) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  {
    HistoryStore first(path, nullptr);
    ASSERT_TRUE(first.Record(Row("BEFORE", "2026-12-10T09:00:00.000Z")));
    RawSql(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  }
  GetParam().damage(path);
  const std::string damaged = FileBytes(path);

  Collected warnings;
  StoreOptions options;
  options.now = [] { return std::chrono::system_clock::time_point(1'765'384'889s); };
  HistoryStore store(path, warnings.sink(), options);
  EXPECT_TRUE(store.Record(Row("AFTER", "2026-12-10T10:00:00.000Z")));
  EXPECT_TRUE(store.Record(Row("AFTER", "2026-12-10T10:00:01.000Z")));

  const auto aside = folder.path() / "history.sqlite.damaged-20251210T164129Z";
  ASSERT_TRUE(std::filesystem::exists(aside));
  EXPECT_EQ(FileBytes(aside), damaged);
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(warnings.lines()[0].rfind("history: " + path.string() + " was damaged (", 0), 0u)
      << warnings.lines()[0];
  EXPECT_NE(warnings.lines()[0].find("kept it as " + aside.string() + " and started a new one"),
            std::string::npos);
  const auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].device, "AFTER");
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DamagedFile,
    ::testing::Values(
        DamageCase{"NotADatabase",
                   [](const std::filesystem::path& path) {
                     std::ofstream(path, std::ios::binary | std::ios::trunc)
                         << std::string(8192, 'x');
                   }},
        // The header is sound, the table's page is not: the damage shows only when writing.
        DamageCase{"TablePageOverwritten",
                   [](const std::filesystem::path& path) {
                     std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
                     file.seekp(4096);
                     file << std::string(4096, '\xff');
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

// Two programs find the same file damaged. The first sets it aside and starts a new one; the
// second, still on its connection to the damaged file, must leave the new one where it is and
// add its row to it. (Windows renames no file another program has open: there the first one
// warns and the file is set aside by the next program that finds it alone, below.)
#ifndef _WIN32
TEST(HistoryStore, DamagedFileIsSetAsideOnceWhenTwoFindIt) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  {
    HistoryStore first(path, nullptr);
    ASSERT_TRUE(first.Record(Row("BEFORE", "2026-12-10T09:00:00.000Z")));
    RawSql(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  }
  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(4096);
    file << std::string(4096, '\xff');  // the table's page
  }
  const std::string damaged = FileBytes(path);
  StoreOptions options;
  options.now = [] { return std::chrono::system_clock::time_point(1'765'384'889s); };
  Collected slowWarnings, quickWarnings;
  HistoryStore slow(path, slowWarnings.sink(), options);
  HistoryStore quick(path, quickWarnings.sink(), options);
  std::string error;
  EXPECT_FALSE(slow.Read({}, error));  // opened the damaged file, and keeps it open

  ASSERT_TRUE(quick.Record(Row("QUICK", "2026-12-10T10:00:00.000Z")));
  ASSERT_TRUE(slow.Record(Row("SLOW", "2026-12-10T10:00:01.000Z")));

  std::vector<std::string> aside;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".damaged-") != std::string::npos && !name.ends_with("-wal") &&
        !name.ends_with("-shm")) {
      aside.push_back(name);
    }
  }
  EXPECT_EQ(aside, std::vector<std::string>{"history.sqlite.damaged-20251210T164129Z"});
  EXPECT_EQ(FileBytes(folder.path() / "history.sqlite.damaged-20251210T164129Z"), damaged);
  EXPECT_EQ(RawSql(path,
                   "SELECT group_concat(device, ' ') FROM (SELECT device FROM attempts "
                   "ORDER BY id)"),
            "QUICK SLOW");
  EXPECT_EQ(quickWarnings.lines().size(), 1u);
  EXPECT_EQ(slowWarnings.lines(), std::vector<std::string>{});
}
#else
TEST(HistoryStore, DamagedFileOpenElsewhereIsSetAsideWhenLeftAlone) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  {
    HistoryStore first(path, nullptr);
    ASSERT_TRUE(first.Record(Row("BEFORE", "2026-12-10T09:00:00.000Z")));
    RawSql(path, "PRAGMA wal_checkpoint(TRUNCATE)");
  }
  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(4096);
    file << std::string(4096, '\xff');  // the table's page
  }
  const std::string damaged = FileBytes(path);
  StoreOptions options;
  options.now = [] { return std::chrono::system_clock::time_point(1'765'384'889s); };
  Collected quickWarnings;
  {
    Collected slowWarnings;
    HistoryStore slow(path, slowWarnings.sink(), options);
    std::string error;
    EXPECT_FALSE(slow.Read({}, error));  // opened the damaged file, and keeps it open
    HistoryStore quick(path, quickWarnings.sink(), options);
    EXPECT_FALSE(quick.Record(Row("QUICK", "2026-12-10T10:00:00.000Z")));
    EXPECT_EQ(FileBytes(path), damaged);  // left where it is, whole
  }
  ASSERT_EQ(quickWarnings.lines().size(), 1u);
  EXPECT_NE(quickWarnings.lines()[0].find("is not recorded in"), std::string::npos)
      << quickWarnings.lines()[0];
  Collected nextWarnings;
  HistoryStore next(path, nextWarnings.sink(), options);
  ASSERT_TRUE(next.Record(Row("NEXT", "2026-12-10T10:00:01.000Z")));
  EXPECT_EQ(FileBytes(folder.path() / "history.sqlite.damaged-20251210T164129Z"), damaged);
  EXPECT_EQ(RawSql(path, "SELECT group_concat(device, ' ') FROM attempts"), "NEXT");
}
#endif

// A name already taken is never written over: the damaged file takes the next one.
TEST(HistoryStore, DamagedFileTakesAFreeName) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  const auto taken = folder.path() / "history.sqlite.damaged-20251210T164129Z";
  std::ofstream(taken) << "kept earlier";
  std::ofstream(path, std::ios::binary) << std::string(8192, 'x');
  StoreOptions options;
  options.now = [] { return std::chrono::system_clock::time_point(1'765'384'889s); };
  HistoryStore store(path, nullptr, options);
  EXPECT_TRUE(store.Record(Row("AFTER", "2026-12-10T10:00:00.000Z")));
  EXPECT_EQ(FileBytes(taken), "kept earlier");
  EXPECT_EQ(FileBytes(folder.path() / "history.sqlite.damaged-20251210T164129Z-2"),
            std::string(8192, 'x'));
}

TEST(HistoryStore, LockedTooLongGivesOneWarning) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  { HistoryStore(path, nullptr).Record(Row("BEFORE", "2026-12-10T09:00:00.000Z")); }
  testing::Holder holder(path, "BEGIN EXCLUSIVE");
  Collected warnings;
  HistoryStore store(path, warnings.sink(), {.busyTimeout = 20ms});
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(warnings.lines()[0],
            "history: this attempt is not recorded in " + path.string() +
                ": it is locked by another program (database is locked); the upgrade goes on");
  holder.Release();
  EXPECT_TRUE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));  // free again
}

#ifndef _WIN32  // Wine run by root writes a read-only file all the same
TEST(HistoryStore, ReadOnlyFileGivesOneWarning) {
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  { HistoryStore(path, nullptr).Record(Row("BEFORE", "2026-12-10T09:00:00.000Z")); }
  std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
  WithoutFileOverride asUser;  // root could write it anyway
  Collected warnings;
  HistoryStore store(path, warnings.sink());
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_NE(warnings.lines()[0].find(path.string() + ": it cannot be written ("), std::string::npos)
      << warnings.lines()[0];
  std::string error;
  const auto rows = store.Read({}, error);  // still readable
  ASSERT_TRUE(rows) << error;
  EXPECT_EQ(rows->size(), 1u);
}
#endif

TEST(HistoryStore, NoFolderForItGivesOneWarning) {
  TempFolder folder;
  std::ofstream(folder.path() / "a-file") << "x";
  Collected warnings;
  HistoryStore store(folder.path() / "a-file" / "history.sqlite", warnings.sink());
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  EXPECT_FALSE(store.Record(Row("A", "2026-12-10T10:00:00.000Z")));
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_NE(warnings.lines()[0].find("it cannot be written (cannot make the folder"),
            std::string::npos)
      << warnings.lines()[0];
}

// Names are UTF-8 inside the program, whatever the system's own form (UTF-16 on Windows): a
// folder with characters outside ASCII is made, written, read, named in warnings as it is, and a
// damaged file in it is set aside beside it.
TEST(HistoryStore, FolderWithCharactersOutsideAscii) {
  TempFolder folder("torv2-hist\u00f3ria-\u5c65\u6b74-");
  const std::string inner = "\u00fcber \u0436\u0443\u0440\u043d\u0430\u043b \U0001F4BE";
  const std::filesystem::path path =
      folder.path() / std::filesystem::path(std::u8string(inner.begin(), inner.end())) /
      "history.sqlite";
  Collected warnings;
  {
    HistoryStore store(path, warnings.sink());
    ASSERT_TRUE(store.Record(Row("VIRTUAL1", "2026-12-10T10:00:00.000Z")));
    EXPECT_EQ(ReadAll(store).size(), 1u);
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(RawSql(path, "SELECT device FROM attempts"), "VIRTUAL1");

  {
    testing::Holder holder(path, "BEGIN EXCLUSIVE");
    HistoryStore locked(path, warnings.sink(), {.busyTimeout = 10ms});
    EXPECT_FALSE(locked.Record(Row("VIRTUAL1", "2026-12-10T10:00:01.000Z")));
  }
  const std::u8string name = path.u8string();
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(warnings.lines()[0], "history: this attempt is not recorded in " +
                                     std::string(name.begin(), name.end()) +
                                     ": it is locked by another program (database is locked); "
                                     "the upgrade goes on");

  {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(0);
    file << std::string(100, '\x5a');  // no SQLite header any more
  }
  Collected damaged;
  HistoryStore store(path, damaged.sink(),
                     {.now = [] { return std::chrono::system_clock::time_point{}; }});
  EXPECT_TRUE(store.Record(Row("VIRTUAL2", "2026-12-10T10:00:02.000Z")));
  EXPECT_TRUE(
      std::filesystem::exists(path.parent_path() / "history.sqlite.damaged-19700101T000000Z"));
  ASSERT_EQ(damaged.lines().size(), 1u);
  EXPECT_NE(damaged.lines()[0].find(inner), std::string::npos) << damaged.lines()[0];
}

}  // namespace
}  // namespace torv2::history
