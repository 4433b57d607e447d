// torv2-upgrader-cli's history end to end, through real libusb against virtual programmers under
// umockdev: an upgrade that did not finish (interrupted, unplugged, the program killed) is
// remembered and warned about by the next status and upgrade until one completes; and a
// --history or --since that cannot be right is refused before any programmer is opened.

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace {

using torv2::test::Outcome;
using torv2::test::Watch;

// Runs argv with stdout and stderr captured, no shell in between, with the history's default
// place away from the home folder. With `watch`, the child leads a process group of its own.
Outcome RunCli(const std::vector<std::string>& args, const Watch& watch = nullptr) {
  return torv2::test::RunCaptured(args, watch, {.stateHome = TORV2_TEST_STATE});
}

// A folder of the test's own, empty.
std::filesystem::path FreshFolder(const std::string& name) {
  const std::filesystem::path folder = std::filesystem::path(TORV2_TEST_STATE) / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Times in the history and in the warning, which differ from run to run.
std::string WithoutTimes(const std::string& text) {
  static const std::regex kStored(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  static const std::regex kShown(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)");
  // The closing line of a successful upgrade is another test's to hold.
  static const std::regex kWritten(
      R"(wrote [0-9,]+ bytes \(main [0-9,]+ \+ sub [0-9,]+\) in [0-9.]+ s\n)");
  return std::regex_replace(
      std::regex_replace(std::regex_replace(text, kStored, "TIME"), kShown, "WHEN UTC"), kWritten,
      "");
}

std::vector<std::string> Cli(const std::string& history, std::vector<std::string> args) {
  std::vector<std::string> all{TORV2_CLI, "--history", history};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

std::vector<std::string> Launched(std::vector<std::string> launcher,
                                  const std::vector<std::string>& cli) {
  launcher.insert(launcher.begin(), TORV2_LAUNCHER_BIN);
  launcher.push_back("--");
  launcher.insert(launcher.end(), cli.begin(), cli.end());
  return launcher;
}

constexpr char kKilled[] =
    "warning: the last upgrade of VIRTUAL1 did not finish (WHEN UTC: the program ended mid-way "
    "(killed, or the power went)): upgrade it again\n";

// --- How the last upgrade ended, and what the next status says ---

struct EndCase {
  const char* name;
  std::vector<std::string> launcher;                  // the upgrade's launcher options
  std::vector<std::string> cli;                       // before "upgrade"
  std::optional<std::pair<std::string, int>> signal;  // sent to the group once stderr shows it
  int exitCode;
  const char* outcome;  // of the upgrade's row
  const char* warning;  // what the next status prints on stderr
  friend void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }
};

class LastUpgrade : public ::testing::TestWithParam<EndCase> {};

// One upgrade, then status on the programmer of the same name: it warns when the upgrade did not
// finish, with its time and why, and says nothing else of it.
TEST_P(LastUpgrade, IsWarnedAboutByTheNextStatusWhenItDidNotFinish) {
  const EndCase& c = GetParam();
  const std::string history = (FreshFolder(std::string("last-") + c.name) / "h.sqlite").string();
  std::vector<std::string> upgrade = c.cli;
  upgrade.push_back("upgrade");
  bool sent = false;
  const Outcome first =
      RunCli(Launched(c.launcher, Cli(history, upgrade)), [&](pid_t child, const Outcome& sofar) {
        const std::string& err = sofar.err;
        if (c.signal && !sent && err.find(c.signal->first) != std::string::npos) {
          ::kill(-child, c.signal->second);  // our child's group: Ctrl-C
          sent = true;
        }
      });
  ASSERT_EQ(first.exitCode, c.exitCode) << first.err;
  ASSERT_EQ(sent, c.signal.has_value()) << first.err;

  const Outcome kept = RunCli(Cli(history, {"history", "--csv"}));
  EXPECT_EQ(kept.exitCode, 0) << kept.err;
  EXPECT_EQ(std::count(kept.out.begin(), kept.out.end(), '\n'), 2) << kept.out;
  EXPECT_NE(kept.out.find(std::string(",upgrade,VIRTUAL1,001:002,2.07,2.08,") + c.outcome + ","),
            std::string::npos)
      << kept.out;

  const Outcome status = RunCli(Launched({}, Cli(history, {"--progress", "none", "status"})));
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_EQ(WithoutTimes(status.err), c.warning);
  EXPECT_EQ(status.out, "Upgrade Version : 2.08\nCurrent Version : 2.07\n");

  // A script reads the same: the last upgrade's end, and a programmer that is not up to date
  // while it may hold half an image.
  const Outcome json = RunCli(Launched({}, Cli(history, {"status", "--json"})));
  EXPECT_EQ(json.exitCode, 0) << json.err;
  const nlohmann::json document = nlohmann::json::parse(json.out, nullptr, false);
  ASSERT_TRUE(document.is_object()) << json.out;
  const bool unfinished = std::string(c.warning).empty() == false;
  EXPECT_EQ(document.contains("last_unfinished"), unfinished) << json.out;
  if (unfinished) {
    EXPECT_EQ(document["last_unfinished"]["outcome"], c.outcome) << json.out;
    EXPECT_EQ(document["up_to_date"], false) << json.out;
  }
}

const std::vector<std::string> kSlowBus{"--bus-time", "--device-delay-us", "5000"};

INSTANTIATE_TEST_SUITE_P(
    Ends, LastUpgrade,
    ::testing::Values(
        EndCase{"Interrupted",
                kSlowBus,
                {"--progress", "lines"},
                {{"main Down 11%", SIGINT}},
                130,
                "cancelled",
                "warning: the last upgrade of VIRTUAL1 did not finish (WHEN UTC: interrupted): "
                "upgrade it again\n"},
        // Unplugged at the third chunk of the main image, whatever the machine's pace.
        EndCase{"Unplugged",
                {"--fault", "chunk-ack:3:unplug"},
                {"--progress", "none"},
                std::nullopt,
                2,
                "error",
                "warning: the last upgrade of VIRTUAL1 did not finish (WHEN UTC: stopped: main "
                "chunk 3: device gone (transfer: no device); the job stopped at sub write "
                "command): upgrade it again\n"},
        EndCase{"Completed", {}, {"--progress", "none"}, std::nullopt, 0, "ok", ""},
        // It finished: the report said what failed.
        EndCase{"ReportFailure",
                {"--fault", "read-chunk:2:corrupt"},
                {"--progress", "none"},
                std::nullopt,
                1,
                "report failure",
                ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The command line killed with SIGKILL mid-download: the row its upgrade began stays and says the
// upgrade did not finish, and status on the programmer warns. The next upgrade warns too at its
// first check, then completes, and from then on nothing is said. (The programmer that comes after
// the kill is a new launcher's of the same name: the launcher keeps a killed program's claim on
// the interface, so the one of the killed run stays busy.)
TEST(LastUpgradeKilled, IsRememberedUntilAnUpgradeCompletes) {
  const std::filesystem::path folder = FreshFolder("killed-remembered");
  const std::string history = (folder / "h.sqlite").string();
  const std::string pidFile = (folder / "cli.pid").string();
  bool killed = false;
  const Outcome upgrade = RunCli({TORV2_LAUNCHER_BIN, "--bus-time", "--", "/bin/sh", "-c",
                                  "echo $$ > '" + pidFile + "'; exec '" TORV2_CLI "' --history '" +
                                      history + "' --progress lines upgrade"},
                                 [&](pid_t, const Outcome& sofar) {
                                   const std::string& err = sofar.err;
                                   if (killed || err.find("main Down") == std::string::npos) return;
                                   pid_t cli = 0;
                                   std::ifstream(pidFile) >> cli;
                                   ASSERT_GT(cli, 1);
                                   ::kill(cli, SIGKILL);  // the command line the launcher started
                                   killed = true;
                                 });
  ASSERT_TRUE(killed) << upgrade.err;
  EXPECT_EQ(upgrade.exitCode, 128 + SIGKILL) << upgrade.err;

  const Outcome status = RunCli(Launched({}, Cli(history, {"--progress", "none", "status"})));
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_EQ(WithoutTimes(status.err), kKilled);
  EXPECT_EQ(status.out, "Upgrade Version : 2.08\nCurrent Version : 2.07\n");

  // The row reads as unfinished in every form the history takes.
  const Outcome csv = RunCli(Cli(history, {"history", "--csv"}));
  EXPECT_EQ(csv.exitCode, 0) << csv.err;
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 3) << csv.out;
  EXPECT_NE(csv.out.find(",torv2-upgrader-cli,status,VIRTUAL1,001:002,2.07,2.08,ok,"),
            std::string::npos)
      << csv.out;
  EXPECT_NE(csv.out.find(",torv2-upgrader-cli,upgrade,VIRTUAL1,001:002,2.07,2.08,unfinished,,"
                         "\"the program ended mid-way (killed, or the power went)\",,,0\r\n"),
            std::string::npos)
      << csv.out;
  const Outcome summary = RunCli(Cli(history, {"history", "--summary"}));
  EXPECT_EQ(WithoutTimes(summary.out),
            "DEVICE    VERSION  LAST UPGRADE              OUTCOME\n"
            "VIRTUAL1  2.07     TIME  unfinished: the program ended mid-way (killed, or "
            "the power went)\n")
      << summary.out;
  const Outcome table = RunCli(Cli(history, {"history"}));
  const std::regex unfinishedLine(
      R"(\n\S+Z +VIRTUAL1 +torv2-upgrader-cli +upgrade +2\.07 +2\.08 +- +unfinished +- +0\.0 +)"
      R"(the program ended mid-way \(killed, or the power went\)\n)");
  EXPECT_TRUE(std::regex_search(table.out, unfinishedLine)) << table.out;

  // The next upgrade is warned at its first check, and completes.
  const Outcome again = RunCli(Launched({}, Cli(history, {"--progress", "none", "upgrade"})));
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(WithoutTimes(again.err), kKilled);
  const Outcome after = RunCli(Launched({}, Cli(history, {"--progress", "none", "status"})));
  EXPECT_EQ(after.exitCode, 0) << after.err;
  EXPECT_EQ(after.err, "");
  const Outcome last = RunCli(Cli(history, {"history", "--summary"}));
  EXPECT_EQ(WithoutTimes(last.out),
            "DEVICE    VERSION  LAST UPGRADE              OUTCOME\n"
            "VIRTUAL1  2.07     TIME  ok\n")
      << last.out;
}

// An upgrade that failed, then one that succeeded: the failure is behind the programmer and
// nothing is said of it any more. A run that found no programmer in between changes nothing.
TEST(LastUpgradeFailed, ThenSucceededSaysNothing) {
  const std::string history = (FreshFolder("failed-then-ok") / "h.sqlite").string();
  const Outcome failed = RunCli(
      Launched({"--fault", "chunk-ack:3:unplug"}, Cli(history, {"--progress", "none", "upgrade"})));
  ASSERT_EQ(failed.exitCode, 2) << failed.err;
  const Outcome none =
      RunCli(Launched({"--count", "0"}, Cli(history, {"--progress", "none", "upgrade"})));
  ASSERT_EQ(none.exitCode, 3) << none.err;
  const Outcome ok = RunCli(Launched({}, Cli(history, {"--progress", "none", "upgrade"})));
  EXPECT_EQ(ok.exitCode, 0) << ok.err;
  EXPECT_NE(ok.err.find("warning: the last upgrade of VIRTUAL1 did not finish"), std::string::npos)
      << ok.err;
  const Outcome status = RunCli(Launched({}, Cli(history, {"--progress", "none", "status"})));
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_EQ(status.err, "");
}

// --- Arguments that cannot be right ---

// Another program's SQLite database, made the way that program would.
void MakeOtherDatabase(const std::filesystem::path& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db,
                         "CREATE TABLE contacts(name TEXT, phone TEXT);"
                         "INSERT INTO contacts VALUES('Ann', '555-0100');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
}

struct RefusalCase {
  const char* name;
  bool launched;                  // under the launcher with a programmer attached
  std::vector<std::string> args;  // @ stands for the test's folder
  std::string err;                // @ as in args
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class Refused : public ::testing::TestWithParam<RefusalCase> {};

std::string Expand(std::string text, const std::string& folder) {
  for (std::size_t at = 0; (at = text.find('@', at)) != std::string::npos; at += folder.size()) {
    text.replace(at, 1, folder);
  }
  return text;
}

// Exit 64 with one line that says what is wrong, before any programmer is opened (--trace shows
// no frame) and without touching anything: the other program's file keeps every byte, no folder
// is made, no history file appears.
TEST_P(Refused, BeforeAnyProgrammerIsOpenedTouchingNothing) {
  const RefusalCase& c = GetParam();
  const std::filesystem::path folder = FreshFolder(std::string("refused-") + c.name);
  MakeOtherDatabase(folder / "other.sqlite");
  std::ofstream(folder / "notes.txt") << "shopping: milk, bread, eggs and more\n";
  const std::string other = FileBytes(folder / "other.sqlite");
  const std::string notes = FileBytes(folder / "notes.txt");

  std::vector<std::string> args{TORV2_CLI};
  for (const std::string& a : c.args) args.push_back(Expand(a, folder.string()));
  const Outcome run = RunCli(c.launched ? Launched({}, args) : args);
  EXPECT_EQ(run.exitCode, 64) << run.err;
  EXPECT_EQ(run.err, Expand(c.err, folder.string()));
  EXPECT_EQ(run.out, "");

  EXPECT_EQ(FileBytes(folder / "other.sqlite"), other);
  EXPECT_EQ(FileBytes(folder / "notes.txt"), notes);
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    entries.push_back(entry.path().filename().string());
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"notes.txt", "other.sqlite"}));
}

const std::string kLongName(256, 'n');
std::string LongPath() {
  std::string path = "@";
  while (path.size() < 4200) path += "/" + std::string(200, 'p');
  return path;
}
constexpr char kSinceHint[] =
    "; give a UTC date or time (2026-12-10, 2026-12-10T16:30) or a local time with its offset "
    "(2026-12-10T16:30+01:00)\n";

INSTANTIATE_TEST_SUITE_P(
    Arguments, Refused,
    ::testing::Values(
        RefusalCase{"Folder",
                    false,
                    {"--history", "@", "history"},
                    "history: cannot use @ as the history file: it is a folder\n"},
        RefusalCase{"Empty",
                    false,
                    {"--history", "", "history"},
                    "history: --history needs a file name; --no-history keeps nothing\n"},
        RefusalCase{"NameTooLong",
                    false,
                    {"--history", "@/" + kLongName, "history"},
                    ("history: cannot use @/" + kLongName +
                     " as the history file: a part of the name is too long (256 bytes; at most "
                     "255)\n")},
        RefusalCase{"MissingFolder",
                    false,
                    {"--history", "@/not/there/h.sqlite", "history"},
                    "history: cannot use @/not/there/h.sqlite as the history file: the folder "
                    "@/not/there does not exist\n"},
        RefusalCase{"FileForAFolder",
                    false,
                    {"--history", "@/notes.txt/h.sqlite", "history"},
                    "history: cannot use @/notes.txt/h.sqlite as the history file: @/notes.txt is "
                    "not a folder\n"},
        RefusalCase{"AnotherProgramsDatabase",
                    false,
                    {"--history", "@/other.sqlite", "history"},
                    "history: cannot use @/other.sqlite as the history file: it is another "
                    "program's SQLite database\n"},
        RefusalCase{"NotSqlite",
                    false,
                    {"--history", "@/notes.txt", "history"},
                    "history: cannot use @/notes.txt as the history file: it is not an SQLite "
                    "file\n"},
        RefusalCase{
            "NoSuchMonth",
            false,
            {"--history", "@/h.sqlite", "history", "--since", "2026-13-45"},
            (std::string("history: --since 2026-13-45: there is no such day") + kSinceHint)},
        RefusalCase{
            "NoSuchDay",
            false,
            {"--history", "@/h.sqlite", "history", "--since", "2026-02-30"},
            (std::string("history: --since 2026-02-30: there is no such day") + kSinceHint)},
        RefusalCase{
            "NoSuchHour",
            false,
            {"--history", "@/h.sqlite", "history", "--since", "2026-12-10T25:00"},
            (std::string("history: --since 2026-12-10T25:00: there is no such time of day") +
             kSinceHint)},
        RefusalCase{"ATimeWithoutADay",
                    false,
                    {"--history", "@/h.sqlite", "history", "--since", "25:00"},
                    (std::string("history: --since 25:00: it is not a date or time") + kSinceHint)},
        // With a programmer there: nothing is sent to it (--trace would show every frame).
        RefusalCase{"StatusOnAnotherProgramsDatabase",
                    true,
                    {"--trace", "--history", "@/other.sqlite", "status"},
                    "history: cannot use @/other.sqlite as the history file: it is another "
                    "program's SQLite database\n"},
        RefusalCase{"UpgradeIntoAFolder",
                    true,
                    {"--trace", "--history", "@", "upgrade"},
                    "history: cannot use @ as the history file: it is a folder\n"},
        RefusalCase{"UpgradeIntoAMissingFolder",
                    true,
                    {"--trace", "--history", "@/gone/h.sqlite", "upgrade"},
                    "history: cannot use @/gone/h.sqlite as the history file: the folder @/gone "
                    "does not exist\n"},
        RefusalCase{"UpgradeIntoNotSqlite",
                    true,
                    {"--trace", "--history", "@/notes.txt", "upgrade"},
                    "history: cannot use @/notes.txt as the history file: it is not an SQLite "
                    "file\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A path over PATH_MAX, refused before anything looks at the file system.
TEST(RefusedPath, TooLong) {
  const std::filesystem::path folder = FreshFolder("refused-long-path");
  const std::string path = Expand(LongPath(), folder.string());
  const Outcome run = RunCli({TORV2_CLI, "--history", path, "status"});
  EXPECT_EQ(run.exitCode, 64) << run.err;
  EXPECT_EQ(run.err, "history: cannot use " + path +
                         " as the history file: the name is too long (" +
                         std::to_string(path.size()) + " bytes; at most 4095)\n");
}

// What is plausible passes: a file not there yet in a folder that is (nothing kept yet), the
// default place not made yet (made by the first row, as before), and a time with an offset.
TEST(Accepted, PlausibleArguments) {
  const std::filesystem::path folder = FreshFolder("accepted");
  const std::string history = (folder / "h.sqlite").string();
  const Outcome nothing = RunCli(Cli(history, {"history"}));
  EXPECT_EQ(nothing.exitCode, 0) << nothing.err;
  EXPECT_EQ(nothing.err, "history: nothing kept yet in " + history + "\n");
  EXPECT_FALSE(std::filesystem::exists(history));

  const Outcome made = RunCli({"/usr/bin/env", "XDG_STATE_HOME=" + (folder / "state").string(),
                               TORV2_CLI, "--virtual", "--progress", "none", "upgrade"});
  EXPECT_EQ(made.exitCode, 0) << made.err;
  const std::filesystem::path byDefault = folder / "state" / "torv2-upgrader" / "history.sqlite";
  EXPECT_TRUE(std::filesystem::exists(byDefault));

  for (const auto& [since, rows] : std::vector<std::pair<std::string, int>>{
           {"2000-01-01T00:30+01:00", 1}, {"2999-01-01", 0}, {"2999-01-01T00:30-01:00", 0}}) {
    const Outcome shown =
        RunCli({TORV2_CLI, "--history", byDefault.string(), "history", "--since", since, "--csv"});
    EXPECT_EQ(shown.exitCode, 0) << since << ": " << shown.err;
    EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 1 + rows) << since;
  }
}

}  // namespace
