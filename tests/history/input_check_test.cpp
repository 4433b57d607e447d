// What the command line checks before it opens any programmer: the time `history --since` takes,
// and whether a path can be the history file at all (touching nothing there).
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "history/history_file_check.h"
#include "history/since_time.h"
#include "tests/history/history_test_support.h"

namespace torv2::history {
namespace {

using testing::RawSql;
using testing::TempFolder;

struct SinceCase {
  const char* text;
  const char* utc;  // nullptr: refused
  const char* why = "";
  friend void PrintTo(const SinceCase& c, std::ostream* os) { *os << c.text; }
};

class Since : public ::testing::TestWithParam<SinceCase> {};

TEST_P(Since, IsCheckedAndTurnedIntoUtc) {
  const SinceCase& c = GetParam();
  std::string why;
  const auto utc = SinceInUtc(c.text, why);
  if (c.utc == nullptr) {
    EXPECT_FALSE(utc) << *utc;
    EXPECT_EQ(why, c.why);
  } else {
    ASSERT_TRUE(utc) << why;
    EXPECT_EQ(*utc, c.utc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Since,
    ::testing::Values(
        // UTC, as before.
        SinceCase{"2026-12-10", "2026-12-10"}, SinceCase{"2026-12-10Z", "2026-12-10"},
        SinceCase{"2026-12-10T16", "2026-12-10T16"},
        SinceCase{"2026-12-10T16:30", "2026-12-10T16:30"},
        SinceCase{"2026-12-10T16:30Z", "2026-12-10T16:30"},
        SinceCase{"2026-12-10 16:30:05", "2026-12-10T16:30:05"},
        SinceCase{"2026-12-10T16:30:05.25Z", "2026-12-10T16:30:05.25"},
        SinceCase{"2028-02-29", "2028-02-29"}, SinceCase{"2000-02-29", "2000-02-29"},
        SinceCase{"2026-12-10T23:59:59", "2026-12-10T23:59:59"},
        // A local time with its offset.
        SinceCase{"2026-12-10T16:30+01:00", "2026-12-10T15:30"},
        SinceCase{"2026-12-10T16:30-0530", "2026-12-10T22:00"},
        SinceCase{"2026-12-10T16+02", "2026-12-10T14:00"},
        SinceCase{"2026-12-10T16:30:05.5+01:00", "2026-12-10T15:30:05.5"},
        SinceCase{"2026-12-10T00:30+01:00", "2026-12-09T23:30"},  // the day before
        SinceCase{"2026-12-31T20:00-05:00", "2027-01-01T01:00"},  // the year after
        SinceCase{"2028-03-01T00:15+00:30", "2028-02-29T23:45"},  // a leap day
        SinceCase{"2026-12-10T16:30+00:00", "2026-12-10T16:30"},
        // Impossible dates and times.
        SinceCase{"2026-13-45", nullptr, "there is no such day"},
        SinceCase{"2026-02-30", nullptr, "there is no such day"},
        SinceCase{"2027-02-29", nullptr, "there is no such day"},
        SinceCase{"1900-02-29", nullptr, "there is no such day"},
        SinceCase{"2026-04-31", nullptr, "there is no such day"},
        SinceCase{"2026-00-10", nullptr, "there is no such day"},
        SinceCase{"0000-01-01", nullptr, "there is no such day"},
        SinceCase{"2026-12-10T25:00", nullptr, "there is no such time of day"},
        SinceCase{"2026-12-10T24:00", nullptr, "there is no such time of day"},
        SinceCase{"2026-12-10T16:60", nullptr, "there is no such time of day"},
        SinceCase{"2026-12-10T16:30:60", nullptr, "there is no such time of day"},
        SinceCase{"2026-12-10T16:30+15:00", nullptr, "there is no such offset from UTC"},
        SinceCase{"2026-12-10T16:30+01:60", nullptr, "there is no such offset from UTC"},
        SinceCase{"0001-01-01T00:30+01:00", nullptr, "it is out of range"},
        // Not a time at all.
        SinceCase{"25:00", nullptr, "it is not a date or time"},
        SinceCase{"", nullptr, "it is not a date or time"},
        SinceCase{"yesterday", nullptr, "it is not a date or time"},
        SinceCase{"2026-1-10", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T16:3", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T16:30:05.", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T16:30:05.1234", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T16:30+1", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T16:30Z+01:00", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10+01:00", nullptr, "it is not a date or time"},
        SinceCase{"2026-12-10T16:30 ", nullptr, "it is not a date or time"}));

// --- Whether a path can be the history file ---

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class HistoryFileCheck : public ::testing::Test {
 protected:
  std::optional<std::string> Why(const std::filesystem::path& path,
                                 MissingFolder missing = MissingFolder::Refuse) {
    return WhyNotAHistoryFile(path, missing);
  }
  TempFolder folder_;
  std::filesystem::path root_ = folder_.path();
};

#ifndef _WIN32
TEST_F(HistoryFileCheck, NamesThatCannotBeAFile) {
  EXPECT_EQ(Why(""), "the name is empty");
  EXPECT_EQ(Why(root_), "it is a folder");
  EXPECT_EQ(Why(root_ / "new" / ""), "it names a folder, not a file");
  EXPECT_EQ(Why("/dev/null"), "it is not a regular file");
  EXPECT_EQ(Why(root_ / std::string(256, 'a')),
            "a part of the name is too long (256 bytes; at most 255)");
  EXPECT_EQ(Why(root_ / std::string(255, 'a')), std::nullopt);  // the longest name there is
  std::filesystem::path deep = root_;
  while (deep.native().size() < 4096) deep /= std::string(200, 'b');
  EXPECT_EQ(Why(deep), "the name is too long (" + std::to_string(deep.native().size()) +
                           " bytes; at most 4095)");
}
#else
// Windows counts names in UTF-16 units: a part of at most 255, a whole name under MAX_PATH.
TEST_F(HistoryFileCheck, NamesThatCannotBeAFile) {
  EXPECT_EQ(Why(""), "the name is empty");
  EXPECT_EQ(Why(root_), "it is a folder");
  EXPECT_EQ(Why(root_ / "new" / ""), "it names a folder, not a file");
  const std::size_t room = 258 - root_.native().size();  // what is left after root_ and a slash
  ASSERT_GT(room, 10u);
  const std::wstring part(std::min<std::size_t>(room, 255), L'a');
  EXPECT_EQ(Why(root_ / part), std::nullopt);
  // Non-ASCII characters count as one each, as Windows counts them.
  EXPECT_EQ(Why(root_ / std::wstring(std::min<std::size_t>(room, 255), L'\u00e9')), std::nullopt);
  EXPECT_EQ(Why(std::filesystem::path(std::wstring(256, L'a')) / "x"),
            "a part of the name is too long (256 characters; at most 255)");
  const std::filesystem::path deep = root_ / std::wstring(room, L'b') / "x";
  EXPECT_EQ(Why(deep), "the name is too long (" + std::to_string(deep.native().size()) +
                           " characters; at most 259)");
}
#endif

TEST_F(HistoryFileCheck, AFolderThatIsNotThere) {
  const std::filesystem::path path = root_ / "not" / "there" / "history.sqlite";
  EXPECT_EQ(Why(path), "the folder " + (root_ / "not" / "there").string() + " does not exist");
  // The default place is made on the first row.
  EXPECT_EQ(Why(path, MissingFolder::Make), std::nullopt);
  // A file where a folder should be is refused either way.
  WriteFile(root_ / "plain", "text");
  for (const MissingFolder missing : {MissingFolder::Refuse, MissingFolder::Make}) {
    EXPECT_EQ(Why(root_ / "plain" / "history.sqlite", missing),
              (root_ / "plain").string() + " is not a folder");
    EXPECT_EQ(Why(root_ / "plain" / "deeper" / "history.sqlite", missing),
              (root_ / "plain").string() + " is not a folder");
  }
  EXPECT_FALSE(std::filesystem::exists(root_ / "not"));
}

TEST_F(HistoryFileCheck, FilesThatMayBecomeTheHistory) {
  EXPECT_EQ(Why(root_ / "history.sqlite"), std::nullopt);  // not there yet
  WriteFile(root_ / "empty", "");
  EXPECT_EQ(Why(root_ / "empty"), std::nullopt);
  // An empty database (an SQLite file with nothing in it yet).
  RawSql(root_ / "blank.sqlite", "PRAGMA page_size = 4096; VACUUM;");
  EXPECT_EQ(Why(root_ / "blank.sqlite"), std::nullopt);
  // This program's, of the first layout and of the current one.
  RawSql(root_ / "old.sqlite",
         "CREATE TABLE attempts(id INTEGER PRIMARY KEY, time_utc TEXT NOT NULL, program TEXT NOT "
         "NULL, kind TEXT NOT NULL, device TEXT NOT NULL, version_before TEXT, version_carried "
         "TEXT, outcome TEXT NOT NULL, failed_parts TEXT, sockets TEXT, version_after TEXT, "
         "duration_ms INTEGER NOT NULL); PRAGMA user_version = 1;");
  EXPECT_EQ(Why(root_ / "old.sqlite"), std::nullopt);
  HistoryStore store(root_ / "ours.sqlite", nullptr);
  ASSERT_TRUE(store.Record(testing::Row("VIRTUAL1", "2026-12-10T10:00:00.000Z")));
  EXPECT_EQ(Why(root_ / "ours.sqlite"), std::nullopt);
}

TEST_F(HistoryFileCheck, FilesThatAreNotOursAreLeftAsTheyAre) {
  WriteFile(root_ / "notes.txt", "SQLite format 2\nand more than sixteen bytes\n");
  EXPECT_EQ(Why(root_ / "notes.txt"), "it is not an SQLite file");
  WriteFile(root_ / "short", "SQLite");
  EXPECT_EQ(Why(root_ / "short"), "it is not an SQLite file");

  const std::filesystem::path other = root_ / "other.sqlite";
  RawSql(other,
         "CREATE TABLE contacts(name TEXT, phone TEXT); INSERT INTO contacts "
         "VALUES('Ann', '123'); PRAGMA user_version = 7;");
  // A table of the same name that is not ours.
  const std::filesystem::path alike = root_ / "alike.sqlite";
  RawSql(alike, "CREATE TABLE attempts(id INTEGER PRIMARY KEY, score INTEGER);");
  // No tables, but a layout number of another program.
  const std::filesystem::path numbered = root_ / "numbered.sqlite";
  RawSql(numbered, "PRAGMA user_version = 42;");
  for (const auto& path : {other, alike, numbered}) {
    const std::string before = FileBytes(path);
    EXPECT_EQ(Why(path), "it is another program's SQLite database") << path;
    EXPECT_EQ(FileBytes(path), before) << path;
    EXPECT_FALSE(std::filesystem::exists(path.string() + "-journal")) << path;
    EXPECT_FALSE(std::filesystem::exists(path.string() + "-wal")) << path;
  }
}

// What may pass with time is left for the store to warn about: a file that cannot be read now.
#ifndef _WIN32
TEST_F(HistoryFileCheck, AFileThatCannotBeReadIsLeftToTheStore) {
  const std::filesystem::path locked = root_ / "history.sqlite";
  WriteFile(locked, "not even SQLite, but who can tell");
  ::chmod(locked.c_str(), 0);
  const testing::WithoutFileOverride notRoot(true);
  EXPECT_EQ(Why(locked), std::nullopt);
}
#endif

}  // namespace
}  // namespace torv2::history
