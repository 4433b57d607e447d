// upgrade --watch end to end: virtual programmers plugged in, restarting, pulled out and plugged
// back while the watch runs; each row ends the watch with a signal once the output shows what it
// waits for (never after a fixed time).

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/usb/child_process.h"

namespace torv2::test {
namespace {

// Every line of `text` that holds `part`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::size_t Count(const std::string& text, const std::string& part) {
  return LinesWith(text, part).size();
}

// Runs the launcher with `launcher` options around `cli` arguments (the history in a fresh folder)
// and sends `signal` once `ready(stdout, stderr)` holds: SIGINT to the whole group, as Ctrl-C
// does, SIGTERM to the launcher, which passes it on.
struct WatchRun {
  Outcome outcome;
  std::string history;
};

WatchRun Watch(const std::vector<std::string>& launcher, const std::vector<std::string>& cli,
               const std::function<bool(const std::string& out, const std::string& err)>& ready,
               int signal = SIGINT) {
  const std::string state = TestStateHome(TORV2_TEST_STATE);
  std::filesystem::create_directories(state);
  WatchRun run;
  run.history = state + "/history.sqlite";
  for (const char* end : {"", "-wal", "-shm"}) {
    std::filesystem::remove(run.history + end);  // a row repeated in one process starts afresh
  }
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), launcher.begin(), launcher.end());
  args.insert(args.end(), {"--", TORV2_CLI, "upgrade", "--watch", "--history", run.history});
  args.insert(args.end(), cli.begin(), cli.end());

  bool signalled = false;
  run.outcome = RunCaptured(args,
                            [&](pid_t child, const Outcome& sofar) {
                              if (signalled || !ready(sofar.out, sofar.err)) return;
                              signalled = true;
                              ::kill(signal == SIGINT ? -child : child,
                                     signal);  // our own child and its group
                            },
                            {.stateHome = state});
  EXPECT_TRUE(signalled) << "it never showed what the row waits for\n" << run.outcome.out;
  return run;
}

// The history as the command line shows it.
Outcome History(const std::string& path, std::vector<std::string> more) {
  std::vector<std::string> args{TORV2_CLI, "history", "--history", path};
  args.insert(args.end(), more.begin(), more.end());
  return RunCaptured(args, nullptr, {});
}

// The main test: a production line. Eight programmers plugged in one after another over about
// 20 s, the first already there; two restart on "ResetNow" when their status says "Already.",
// one is pulled out part-way (a fault) and plugged back. Each ends with one OK line, is written
// once, and the history shows each once with "ok" last.
TEST(WatchProductionLine, EightProgrammersArrivingOverTimeAreEachUpgradedOnce) {
  const std::vector<std::string> launcher{"--count",
                                          "8",
                                          "--at",
                                          "2500:plug:2",
                                          "--at",
                                          "5000:plug:3",
                                          "--at",
                                          "7500:plug:4",
                                          "--at",
                                          "10000:plug:5",
                                          "--at",
                                          "12500:plug:6",
                                          "--at",
                                          "15000:plug:7",
                                          "--at",
                                          "19000:plug:8",
                                          "--status",
                                          "Already.",
                                          "--status-on",
                                          "3",
                                          "--status-on",
                                          "6",
                                          "--reenumeration-delay",
                                          "300",
                                          "--fault",
                                          "read-chunk:5:unplug",
                                          "--faults-on",
                                          "5",
                                          "--comes-back-after",
                                          "300"};
  const WatchRun run =
      Watch(launcher, {"--progress", "none"},
            [](const std::string& out, const std::string&) { return Count(out, "  OK  ") == 8; });
  const Outcome& o = run.outcome;
  const std::string shown = "stdout:\n" + o.out + "stderr:\n" + o.err;
  EXPECT_EQ(o.exitCode, 0) << shown;
  std::set<std::string> upgraded;
  for (const std::string& line : LinesWith(o.out, "  OK  ")) {
    // The one pulled out during its read-back comes back with the new main image in its flash.
    EXPECT_NE(line.find(" -> 2.08  278,944 bytes  "), std::string::npos) << line;
    EXPECT_TRUE(upgraded.insert(line.substr(0, line.find(' '))).second)
        << "written twice: " << line << "\n"
        << shown;
  }
  EXPECT_EQ(upgraded.size(), 8u) << shown;
  // The one pulled out part-way says so, and is upgraded afresh when it is back.
  EXPECT_EQ(Count(o.out, "VIRTUAL5  unplugged: "), 1u) << shown;
  EXPECT_EQ(Count(o.out, "  failed: "), 0u) << shown;
  EXPECT_NE(o.out.find("watch ended: 8 OK, 0 failed, 0 interrupted, 0 skipped (current)\n"),
            std::string::npos)
      << shown;

  const Outcome summary = History(run.history, {"--summary"});
  EXPECT_EQ(summary.exitCode, 0) << summary.err;
  for (int i = 1; i <= 8; ++i) {
    const std::vector<std::string> rows = LinesWith(summary.out, "VIRTUAL" + std::to_string(i));
    ASSERT_EQ(rows.size(), 1u) << summary.out;
    EXPECT_TRUE(rows[0].ends_with("  ok")) << summary.out;
  }
  // Every attempt is kept: one ok upgrade per programmer, and the pulled one's failure before it.
  const Outcome rows = History(run.history, {"--json"});
  std::map<std::string, int> ok;
  std::size_t attempts = 0;
  for (const nlohmann::json& row : nlohmann::json::parse(rows.out)) {
    if (row.value("kind", "") != "upgrade") continue;
    ++attempts;
    if (row.value("outcome", "") == "ok") ++ok[row.value("device", "")];
  }
  EXPECT_EQ(ok.size(), 8u) << rows.out;
  for (const auto& [device, times] : ok) EXPECT_EQ(times, 1) << device;
  EXPECT_EQ(attempts, 9u) << rows.out;
}

// The other rows: each a short watch, ended by a signal once its output shows what it waits for.
struct Row {
  std::string name;
  std::vector<std::string> launcher;
  std::vector<std::string> cli;
  std::string waitFor;  // on stdout: the signal goes once it is there
  int signal;
  int exitCode;
  std::vector<std::string> expected;  // on stdout
  std::vector<std::string> absent;    // never on stdout
};

class WatchRow : public ::testing::TestWithParam<Row> {};

TEST_P(WatchRow, EndsAsExpected) {
  const Row& row = GetParam();
  const WatchRun run = Watch(
      row.launcher, row.cli,
      [&](const std::string& out, const std::string& err) {
        return row.waitFor.starts_with("stderr:")
                   ? err.find(row.waitFor.substr(7)) != std::string::npos
                   : out.find(row.waitFor) != std::string::npos;
      },
      row.signal);
  const Outcome& o = run.outcome;
  const std::string shown = "stdout:\n" + o.out + "stderr:\n" + o.err;
  EXPECT_EQ(o.exitCode, row.exitCode) << shown;
  for (const std::string& text : row.expected)
    EXPECT_NE(o.out.find(text), std::string::npos) << text << "\n" << shown;
  for (const std::string& text : row.absent)
    EXPECT_EQ(o.out.find(text), std::string::npos) << text << "\n" << shown;
}

const std::string kNoneUnderWay = "stderr:waiting for programmers";

INSTANTIATE_TEST_SUITE_P(
    Rows, WatchRow,
    ::testing::Values(
        // --device: only that one, the others left as they are.
        Row{"Device",
            {"--count", "3"},
            {"--device", "VIRTUAL2", "--progress", "none"},
            "VIRTUAL2  OK",
            SIGINT,
            0,
            {"VIRTUAL2  OK  2.07 -> 2.08", "watch ended: 1 OK, 0 failed"},
            {"VIRTUAL1", "VIRTUAL3"}},
        // --skip-current: one on the carried version already is only looked at.
        Row{"SkipCurrent",
            {"--count", "2", "--version", "MainExe - TORV2 Execute V02.08", "--at", "300:plug:2"},
            {"--skip-current", "--progress", "none"},
            "VIRTUAL2  current",
            SIGTERM,
            0,
            {"VIRTUAL1  current  2.08 -> 2.08  0 bytes",
             "watch ended: 0 OK, 0 failed, 0 interrupted, 2 skipped (current)"},
            {"  OK  "}},
        // A report that fails every time: three attempts, then it is left alone.
        Row{"ThreeFailuresThenLeftAlone",
            {"--sockets", "UUXUUUUU"},
            {"--progress", "none"},
            "VIRTUAL1  left alone after 3 failures in a row",
            SIGINT,
            1,
            {"VIRTUAL1  failed: the report shows a failure: socket 3 not upgraded  2.07 -> 2.08",
             "watch ended: 0 OK, 1 failed"},
            {"  OK  "}},
        // Held by another program twice: said, tried again, and then upgraded; no failure.
        Row{"BusyIsTriedAgain",
            {"--busy-claims", "2"},
            {"--progress", "none"},
            "VIRTUAL1  OK",
            SIGINT,
            0,
            {"VIRTUAL1  busy: another program holds it; tried again when it is free",
             "watch ended: 1 OK, 0 failed"},
            {"  failed: "}},
        // Ctrl-C with an upgrade under way: it stops at the next transfer boundary.
        Row{"InterruptedUnderWay",
            {},
            {"--progress", "lines"},
            "stderr:VIRTUAL1 main Down 11%",
            SIGINT,
            130,
            {"VIRTUAL1  interrupted", "watch ended: 0 OK, 0 failed, 1 interrupted"},
            {"  OK  "}},
        Row{"TerminatedUnderWay",
            {},
            {"--progress", "lines"},
            "stderr:VIRTUAL1 main Down 11%",
            SIGTERM,
            130,
            {"VIRTUAL1  interrupted", "watch ended: 0 OK, 0 failed, 1 interrupted"},
            {"  OK  "}},
        // With nothing under way an interrupt is the normal end of a watch.
        Row{"InterruptedWithNothingUnderWay",
            {"--count", "0"},
            {},
            kNoneUnderWay,
            SIGINT,
            0,
            {"watch ended: 0 OK, 0 failed, 0 interrupted, 0 skipped (current)\n"},
            {}},
        Row{"TerminatedAfterAnUpgrade",
            {},
            {"--progress", "none"},
            "VIRTUAL1  OK",
            SIGTERM,
            0,
            {"watch ended: 1 OK, 0 failed, 0 interrupted"},
            {}},
        // --json: one object per line, the same fields as upgrade --json, and the summary.
        // --jobs 1: one after the other, in the order they are found.
        Row{"Json",
            {"--count", "2"},
            {"--json", "--jobs", "1", "--progress", "none"},
            "\"programmer\":\"VIRTUAL2\"",
            SIGINT,
            0,
            {"\"outcome\":\"ok\",\"port\":\"1-1\",\"programmer\":\"VIRTUAL1\"",
             "\"exit_code\":0,\"outcome\":\"ok\",\"port\":\"1-2\",\"programmer\":\"VIRTUAL2\"",
             "{\"summary\":{\"exit_code\":0,\"failed\":0,\"interrupted\":0,\"ok\":2,\"skipped\":0}"
             "}"},
            {"watch ended"}}),
    [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// Each line of --json output is a document of its own.
TEST(WatchJson, EveryLineParses) {
  const WatchRun run =
      Watch({}, {"--json", "--progress", "none"}, [](const std::string& out, const std::string&) {
        return out.find("\"programmer\":\"VIRTUAL1\"") != std::string::npos;
      });
  std::istringstream in(run.outcome.out);
  std::size_t lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(object.is_discarded()) << line;
    if (!object.contains("summary")) {
      EXPECT_EQ(object["version_current"], "2.08") << line;
      EXPECT_EQ(object["bytes_written"], 278944) << line;
    }
  }
  EXPECT_EQ(lines, 2u) << run.outcome.out;
}

// On a terminal each programmer at work has a line of its own on stderr, redrawn in place while
// two are upgraded at once; stdout gets the same lines as without it, with no terminal control
// in them.
TEST(WatchTerminal, LiveLinePerProgrammerAndStdoutUnaffected) {
  const WatchRun run =
      Watch({"--count", "2"}, {"--progress", "tty"},
            [](const std::string& out, const std::string&) { return Count(out, "  OK  ") == 2; });
  const Outcome& o = run.outcome;
  const std::string shown = "stdout:\n" + o.out + "stderr:\n" + o.err;
  EXPECT_EQ(o.exitCode, 0) << shown;
  for (const std::string name : {"VIRTUAL1", "VIRTUAL2"}) {
    for (const std::string line : {"  main image  Down     0%\n", "  main image  Down   100%\n",
                                   "  main image  Verify 100%\n", "  sub image  Down   100%\n",
                                   "  sub image  Verify 100%\n"}) {
      EXPECT_NE(o.err.find(name + line), std::string::npos) << name + line << shown;
    }
    EXPECT_EQ(Count(o.out, name + "  OK  2.07 -> 2.08  278,944 bytes  "), 1u) << shown;
  }
  // Both lines at once: the redraw goes up two rows and clears from there.
  EXPECT_NE(o.err.find("\x1b[2A\x1b[J"), std::string::npos) << shown;
  EXPECT_EQ(o.err.find("] 100%"), std::string::npos) << "a bar of one programmer\n" << shown;
  EXPECT_EQ(o.out.find_first_of("\x1b\r"), std::string::npos) << shown;
  EXPECT_NE(o.out.find("watch ended: 2 OK, 0 failed, 0 interrupted, 0 skipped (current)\n"),
            std::string::npos)
      << shown;
}

}  // namespace
}  // namespace torv2::test
