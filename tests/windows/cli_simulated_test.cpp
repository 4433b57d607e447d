// torv2-upgrader-cli over the simulated Windows USB stack: the command line's own code, its
// transport on the WinUSB table, and hardware-like programmers behind it, set up through
// TORV2_SIMULATED_USB with the launcher's option names. Each row runs the program and checks its
// exit code and what it printed.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace torv2 {
namespace {

// A path of the build machine as this Windows sees it: under Wine the Unix root is drive Z:.
std::string HostPath(std::string path) {
  if (!path.empty() && path.front() == '/') path.insert(0, "Z:");
  return path;
}

class Pipe {
 public:
  Pipe() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    CreatePipe(&read_, &write_, &inherit, 0);
    SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);
  }
  ~Pipe() {
    CloseWrite();
    if (read_) CloseHandle(read_);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  HANDLE writeEnd() const { return write_; }
  void CloseWrite() {
    if (write_) CloseHandle(write_);
    write_ = nullptr;
  }
  // Hands on each piece as it comes, until the other end is closed.
  template <class F>
  void ReadEach(F&& f) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(read_, buffer, sizeof buffer, &n, nullptr) && n > 0)
      f(std::string_view(buffer, n));
  }

 private:
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
};

// Windows' line ends on the way out of the program.
std::string Unix(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

// How long a run may take before it counts as hung.
constexpr auto kHang = std::chrono::seconds(30);

struct Ran {
  DWORD exitCode = 0;
  std::string out, err;      // Windows' line ends made Unix ones
  bool interrupted = false;  // a watch: what the run waited for showed, and Ctrl-C went
  bool hung = false;
};

using Ready = std::function<bool(const std::string& out, const std::string& err)>;

// Runs the test program over the simulated Windows that `simulated` sets up. With `ready`, the
// program gets Ctrl-C once ready(stdout, stderr) holds: under Wine a program started without a
// console cannot be sent one, so the test program takes a named event being set as Ctrl-C
// (--interrupt-event).
Ran RunCli(std::string simulated, const std::string& args, const std::string& timeoutMs = "",
           const Ready& ready = nullptr) {
  static int runs = 0;
  const std::string event = "torv2-watch-interrupt-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(++runs);
  const HANDLE interrupt = ready ? CreateEventA(nullptr, FALSE, FALSE, event.c_str()) : nullptr;
  if (ready) simulated += " --interrupt-event " + event;
  SetEnvironmentVariableA("TORV2_SIMULATED_USB", simulated.c_str());
  SetEnvironmentVariableA("TORV2_TRANSFER_TIMEOUT_MS",
                          timeoutMs.empty() ? nullptr : timeoutMs.c_str());
  Pipe out, err;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.writeEnd();
  startup.hStdError = err.writeEnd();
  std::string command = "\"" + HostPath(TORV2_CLI_TEST) + "\" " + args;
  PROCESS_INFORMATION process{};
  Ran run;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
    if (interrupt) CloseHandle(interrupt);
    return run;
  }
  out.CloseWrite();
  err.CloseWrite();
  std::mutex mutex;
  std::condition_variable grew;
  int open = 2;
  const auto reader = [&](Pipe& pipe, std::string& into) {
    return std::thread([&] {
      pipe.ReadEach([&](std::string_view piece) {
        std::lock_guard lock(mutex);
        into.append(piece);
        grew.notify_all();
      });
      std::lock_guard lock(mutex);
      --open;
      grew.notify_all();
    });
  };
  std::thread outReader = reader(out, run.out);
  std::thread errReader = reader(err, run.err);
  if (ready) {
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    run.interrupted = grew.wait_until(lock, deadline, [&] {
      return open == 0 || ready(Unix(run.out), Unix(run.err));
    }) && open > 0;
  }
  if (run.interrupted) SetEvent(interrupt);
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(kHang.count() * 1000)) !=
      WAIT_OBJECT_0) {
    run.hung = true;
    TerminateProcess(process.hProcess, 99);  // our own child, hung
  }
  outReader.join();
  errReader.join();
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (interrupt) CloseHandle(interrupt);
  run.out = Unix(run.out);
  run.err = Unix(run.err);
  return run;
}

constexpr char kSuccessReport[] =
    "Torv2 Main Execute - Upgrade OK\n"
    "Torv2 Sub Execute - Upgrade OK\n"
    "┌─────────┬─────────┬─────────┬─────────┐\n"
    "│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＯＫ）　│ＳＵＢ４（ＯＫ）　│\n"
    "├─────────┼─────────┼─────────┼─────────┤\n"
    "│ＳＵＢ５（ＯＫ）　│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＯＫ）　│\n"
    "└─────────┴─────────┴─────────┴─────────┘　　　　　　\n"
    "Upgrade Version : 2.08\n"
    "Current Version : 2.08\n";
constexpr char kVersions[] = "Upgrade Version : 2.08\nCurrent Version : 2.07\n";

struct CliCase {
  const char* name;
  std::string simulated;  // TORV2_SIMULATED_USB
  std::string args;
  DWORD exitCode;
  std::optional<std::string> out;   // the whole of stdout; nullopt: not checked
  std::vector<std::string> errHas;  // lines stderr must hold
  std::string timeoutMs;            // TORV2_TRANSFER_TIMEOUT_MS
  std::vector<std::string> outHas;  // pieces stdout must hold
};

void PrintTo(const CliCase& c, std::ostream* os) {
  *os << c.name;
}

class CliOverSimulatedWindows : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliOverSimulatedWindows, ExitCodeAndOutput) {
  const CliCase& c = GetParam();
  const Ran ran = RunCli(c.simulated, c.args, c.timeoutMs);
  const std::string out = Unix(ran.out), err = Unix(ran.err);
  EXPECT_EQ(ran.exitCode, c.exitCode) << "stdout:\n" << out << "stderr:\n" << err;
  if (c.out) {
    EXPECT_EQ(out, *c.out) << "stderr:\n" << err;
  }
  for (const std::string& line : c.errHas) {
    EXPECT_NE(err.find(line), std::string::npos) << "stderr lacks: " << line << "\nstderr:\n"
                                                 << err;
  }
  for (const std::string& piece : c.outHas) {
    EXPECT_NE(out.find(piece), std::string::npos) << "stdout lacks: " << piece << "\nstdout:\n"
                                                  << out;
  }
}

// Three programmers upgraded at once, then the history lists each one with its last upgrade.
TEST(CliHistoryOverSimulatedWindows, AllThreeThenTheSummaryListsEach) {
  char folder[MAX_PATH];
  ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
  const std::string file =
      std::string(folder) + "torv2-all-three-" + std::to_string(GetCurrentProcessId()) + ".sqlite";
  DeleteFileA(file.c_str());
  const std::string history = " --history \"" + file + "\"";

  const Ran upgraded = RunCli("--count 3", "--progress none -q --all upgrade" + history);
  EXPECT_EQ(upgraded.exitCode, 0u) << Unix(upgraded.err);
  const Ran summary = RunCli("--count 0", "history --summary" + history);
  DeleteFileA(file.c_str());
  EXPECT_EQ(summary.exitCode, 0u) << Unix(summary.err);
  const std::string out = Unix(summary.out);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(out.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 4u) << out;
  EXPECT_EQ(lines[0], "DEVICE    VERSION  LAST UPGRADE              OUTCOME");
  for (int i = 1; i <= 3; ++i) {
    const std::string& line = lines[i];
    const std::string name = "VIRTUAL" + std::to_string(i);
    EXPECT_EQ(line.substr(0, 19), name + "  2.08     ") << out;
    EXPECT_EQ(line.substr(line.size() - 4), "  ok") << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, CliOverSimulatedWindows,
    ::testing::Values(
        CliCase{"Upgrade", "", "--progress none upgrade", 0, kSuccessReport},
        // Several attached and none named: none is guessed at.
        CliCase{"SeveralAndNoneNamed",
                "--count 3",
                "--progress none upgrade",
                64,
                "",
                {"3 programmers are attached and none was named, so none is used:\n"
                 "  VIRTUAL1  port pci1400-1  serial VIRTUAL1  path "
                 "\\\\?\\USB#VID_1209&PID_0001#VIRTUAL1#{b91d9e33-6927-4b4d-a40d-484c312b8c26}\n"}},
        CliCase{"ListShowsNamePortAndPath", "--count 2", "list", 0,
                "VIRTUAL1  port pci1400-1  serial VIRTUAL1  path "
                "\\\\?\\USB#VID_1209&PID_0001#VIRTUAL1#{b91d9e33-6927-4b4d-a40d-484c312b8c26}\n"
                "VIRTUAL2  port pci1400-2  serial VIRTUAL2  path "
                "\\\\?\\USB#VID_1209&PID_0001#VIRTUAL2#{b91d9e33-6927-4b4d-a40d-484c312b8c26}\n"},
        // Without serial numbers they go by their ports.
        CliCase{
            "ListWithoutSerialNumbers", "--count 2 --serial ''", "list", 0,
            "pci1400-1  port pci1400-1  serial -  path "
            "\\\\?\\USB#VID_1209&PID_0001#5&99454B9&0&1#{b91d9e33-6927-4b4d-a40d-484c312b8c26}\n"
            "pci1400-2  port pci1400-2  serial -  path "
            "\\\\?\\USB#VID_1209&PID_0001#5&99454B9&0&2#{b91d9e33-6927-4b4d-a40d-484c312b8c26}\n"},
        // Every programmer on its own link and job; the exit code is the worst of them.
        CliCase{"AllThreeOneReportFails",
                "--count 3 --fault read-chunk:2:corrupt --faults-on 2",
                "--progress none --all upgrade",
                1,
                std::nullopt,
                {},
                "",
                {"== VIRTUAL1 ==\n" + std::string(kSuccessReport),
                 "== VIRTUAL2 ==\nTorv2 Main Execute - Upgrade Fail\n",
                 "== VIRTUAL3 ==\n" + std::string(kSuccessReport),
                 "== summary ==\nprogrammer  exit  result\nVIRTUAL1    0     ok\n"
                 "VIRTUAL2    1     the report shows a failure: main read-back chunk 2: read-back "
                 "differs at offset 12288\nVIRTUAL3    0     ok\n"}},
        // The programmer named is found again after it restarts ("Already."), by whichever name
        // it was given, though another one (which could not answer its version) arrives while it
        // is away.
        CliCase{"BySerialAfterRestart",
                "--count 3 --last-arrives-on-reset --reenumeration-delay 50 --status Already. "
                "--fault version-reply:1:junk --faults-on 3",
                "--progress none --device VIRTUAL2 status", 0, kVersions},
        CliCase{"ByPortAfterRestart",
                "--count 3 --serial '' --last-arrives-on-reset --reenumeration-delay 50 "
                "--status Already. --fault version-reply:1:junk --faults-on 3",
                "--progress none --device pci1400-2 status", 0, kVersions},
        CliCase{
            "ByPathAfterRestart", "--count 2 --reenumeration-delay 50 --status Already.",
            "--progress none --device "
            "\\\\?\\usb#vid_1209&pid_0001#virtual2#{b91d9e33-6927-4b4d-a40d-484c312b8c26} status",
            0, kVersions},
        CliCase{"Status", "", "--progress none status", 0, kVersions},
        // "Already." makes the programmer restart; it comes back under the same path.
        CliCase{"AlreadyMeansResetFirst", "--status Already.", "--progress none status", 0,
                kVersions},
        CliCase{"UpgradeAfterReset", "--status Already. --high-speed", "--progress none upgrade", 0,
                kSuccessReport},
        CliCase{"UnpluggedDuringDownload",
                "--fault chunk-ack:3:unplug",
                "--progress none upgrade",
                2,
                "",
                {"ZARN TORV II - Firmware Upgrade Error!\n"
                 "cause: main chunk 3: device gone (transfer: no device); the job stopped at sub "
                 "write command\n"}},
        CliCase{"SubBlockRefused",
                "--fault block-status:1:refuse",
                "--progress none upgrade",
                2,
                "",
                {"cause: sub block 1: refused (\"Error\")\n"}},
        CliCase{"NoAnswerTimesOut",
                "--fault version-reply:1:no-answer",
                "--progress none status",
                3,
                std::nullopt,
                {"cause: version query: time-out after 200 ms (transfer: timed out)\n"},
                "200"},
        CliCase{"NoProgrammer", "--count 0", "--progress none status", 3, "", {"USB UnConn"}},
        CliCase{"OnlyADecoy", "--count 0 --decoy", "--progress none status", 3, "", {"USB UnConn"}},
        // Another program holds the programmer's device file: the program says so, and which
        // program Windows does not tell.
        CliCase{"HeldByAnotherProgram",
                "--count 2 --held VIRTUAL1",
                "--progress none --device VIRTUAL1 status",
                3,
                "",
                {"USB UnConn: another program holds the programmer\n"
                 "cause: opening the programmer: device busy (in use by another program)\n"
                 "fix: close the program that holds the programmer (Windows does not say which: "
                 "the desktop upgrader, another torv2-upgrader-cli, or another program that opens "
                 "USB devices) and run `torv2-upgrader-cli status --device VIRTUAL1` again\n"}},
        CliCase{
            "AllWithOneHeld",
            "--count 2 --held VIRTUAL1",
            "--progress none --all status",
            3,
            std::nullopt,
            {"VIRTUAL1: USB UnConn: another program holds the programmer\n"},
            "",
            {"VIRTUAL1    3     not found or not ready: opening the programmer: device busy (in "
             "use by another program)\nVIRTUAL2    0     ok\n"}},
        CliCase{"NoiseInTheReplies", "--nak 3 --upper-checksum 5 --junk-before-reply zz",
                "--progress none upgrade", 0, kSuccessReport},
        CliCase{
            "BadSetting", "--fault nowhere:1:junk", "status", 64, "", {"TORV2_SIMULATED_USB: "}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- upgrade --watch ---
//
// Each run ends the watch as Ctrl-C would, once its output shows what the run waits for (never
// after a fixed time; see RunCli()).

// Every line of `text` that holds `part`.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(part) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// A production line: four programmers, the first there at the start and the others plugged in one
// after another; one restarts on "Already.", one is pulled out part-way (a fault) and plugged back.
// Each ends with one OK line and is written once; the history shows each once, "ok" last.
TEST(WatchOverSimulatedWindows, ProgrammersArrivingOverTimeAreEachUpgradedOnce) {
  char folder[MAX_PATH];
  ASSERT_NE(GetTempPathA(MAX_PATH, folder), 0u);
  const std::string file =
      std::string(folder) + "torv2-watch-" + std::to_string(GetCurrentProcessId()) + ".sqlite";
  DeleteFileA(file.c_str());
  const std::string history = " --history \"" + file + "\"";

  const Ran run = RunCli(
      "--count 4 --at 200:plug:2 --at 400:plug:3 --at 600:plug:4 --status Already. "
      "--status-on 3 --reenumeration-delay 50 --fault read-chunk:5:unplug --faults-on 4 "
      "--comes-back-after 100",
      "--progress none upgrade --watch" + history, "",
      [](const std::string& out, const std::string&) {
        return LinesWith(out, "  OK  ").size() == 4;
      });
  const std::string shown = "stdout:\n" + run.out + "stderr:\n" + run.err;
  EXPECT_TRUE(run.interrupted) << "it never showed four OK lines\n" << shown;
  EXPECT_FALSE(run.hung) << shown;
  EXPECT_EQ(run.exitCode, 0u) << shown;
  std::set<std::string> upgraded;
  for (const std::string& line : LinesWith(run.out, "  OK  ")) {
    EXPECT_NE(line.find(" -> 2.08  278,944 bytes  "), std::string::npos) << line;
    EXPECT_TRUE(upgraded.insert(line.substr(0, line.find(' '))).second)
        << "written twice: " << line << "\n"
        << shown;
  }
  EXPECT_EQ(upgraded, (std::set<std::string>{"VIRTUAL1", "VIRTUAL2", "VIRTUAL3", "VIRTUAL4"}))
      << shown;
  // The one pulled out part-way says so, and is upgraded afresh when it is back.
  EXPECT_EQ(LinesWith(run.out, "VIRTUAL4  unplugged: ").size(), 1u) << shown;
  EXPECT_EQ(LinesWith(run.out, "  failed: ").size(), 0u) << shown;
  EXPECT_NE(run.out.find("watch ended: 4 OK, 0 failed, 0 interrupted, 0 skipped (current)\n"),
            std::string::npos)
      << shown;
  // The timeline did what it was asked, in order.
  EXPECT_NE(run.err.find("simulated USB: 200 ms: VIRTUAL2 plugged in\n"), std::string::npos)
      << shown;

  const Ran summary = RunCli("--count 0", "history --summary" + history);
  DeleteFileA(file.c_str());
  EXPECT_EQ(summary.exitCode, 0u) << Unix(summary.err);
  for (int i = 1; i <= 4; ++i) {
    const auto rows = LinesWith(Unix(summary.out), "VIRTUAL" + std::to_string(i));
    ASSERT_EQ(rows.size(), 1u) << Unix(summary.out);
    EXPECT_TRUE(rows[0].ends_with("  ok")) << Unix(summary.out);
  }
}

// The other runs: each a short watch, ended once its output shows what it waits for.
struct WatchCase {
  const char* name;
  std::string simulated;  // TORV2_SIMULATED_USB, without the interrupt event
  std::string args;
  std::string waitFor;  // on stdout, or on stderr after "stderr:"
  DWORD exitCode;
  std::vector<std::string> expected;  // on stdout
  std::vector<std::string> absent;    // never on stdout
};

void PrintTo(const WatchCase& c, std::ostream* os) {
  *os << c.name;
}

class WatchRows : public ::testing::TestWithParam<WatchCase> {};

TEST_P(WatchRows, EndAsExpected) {
  const WatchCase& c = GetParam();
  const std::string wanted = c.waitFor.starts_with("stderr:") ? c.waitFor.substr(7) : c.waitFor;
  const bool onErr = c.waitFor.starts_with("stderr:");
  const Ran run =
      RunCli(c.simulated, c.args, "", [&](const std::string& out, const std::string& err) {
        return (onErr ? err : out).find(wanted) != std::string::npos;
      });
  const std::string shown = "stdout:\n" + run.out + "stderr:\n" + run.err;
  EXPECT_TRUE(run.interrupted) << "it never showed " << c.waitFor << "\n" << shown;
  EXPECT_FALSE(run.hung) << shown;
  EXPECT_EQ(run.exitCode, c.exitCode) << shown;
  for (const std::string& text : c.expected) {
    EXPECT_NE(run.out.find(text), std::string::npos) << text << "\n" << shown;
  }
  for (const std::string& text : c.absent) {
    EXPECT_EQ(run.out.find(text), std::string::npos) << text << "\n" << shown;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WatchRows,
    ::testing::Values(
        // With nothing attached and nothing under way, an interrupt is the normal end.
        WatchCase{"NothingAttached",
                  "--count 0",
                  "--no-history upgrade --watch",
                  "stderr:waiting for programmers (Ctrl-C ends the watch)",
                  0,
                  {"watch ended: 0 OK, 0 failed, 0 interrupted, 0 skipped (current)\n"},
                  {}},
        // --device: only that one, the others left as they are.
        WatchCase{"OnlyTheNamedOne",
                  "--count 3",
                  "--no-history --progress none upgrade --watch --device VIRTUAL2",
                  "VIRTUAL2  OK",
                  0,
                  {"VIRTUAL2  OK  2.07 -> 2.08", "watch ended: 1 OK, 0 failed"},
                  {"VIRTUAL1", "VIRTUAL3"}},
        // Plugged in later, and named by its port (no serial number).
        WatchCase{"ArrivesLaterByPort",
                  "--count 2 --serial '' --at 100:plug:2",
                  "--no-history --progress none upgrade --watch --device pci1400-2",
                  "pci1400-2  OK",
                  0,
                  {"pci1400-2  OK  2.07 -> 2.08", "watch ended: 1 OK, 0 failed"},
                  {"pci1400-1"}},
        // Pulled out part-way, and back at once: a new arrival under the same path, written
        // afresh.
        WatchCase{"PulledOutAndBackAtOnce",
                  "--fault chunk-ack:3:unplug --comes-back-after 0",
                  "--no-history --progress none upgrade --watch",
                  "VIRTUAL1  OK",
                  0,
                  {"VIRTUAL1  unplugged: ", "VIRTUAL1  OK  "},
                  {"  failed: "}},
        // A report that fails every time: three attempts, then it is left alone.
        WatchCase{"ThreeFailuresThenLeftAlone",
                  "--sockets UUXUUUUU",
                  "--no-history --progress none upgrade --watch",
                  "VIRTUAL1  left alone after 3 failures in a row",
                  1,
                  {"VIRTUAL1  failed: the report shows a failure: socket 3 not upgraded",
                   "watch ended: 0 OK, 1 failed"},
                  {"  OK  "}},
        // --json, --jobs 1: one object per line, one programmer after the other, and the summary.
        WatchCase{"JsonOneAtATime",
                  "--count 2",
                  "--no-history --progress none upgrade --watch --json --jobs 1",
                  "\"programmer\":\"VIRTUAL2\"",
                  0,
                  {"\"outcome\":\"ok\",\"port\":\"pci1400-1\",\"programmer\":\"VIRTUAL1\"",
                   "\"outcome\":\"ok\",\"port\":\"pci1400-2\",\"programmer\":\"VIRTUAL2\"",
                   "{\"summary\":{\"exit_code\":0,\"failed\":0,\"interrupted\":0,\"ok\":2,"
                   "\"skipped\":0}}"},
                  {"watch ended"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2
