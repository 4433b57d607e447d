// torv2-upgrader-cli over the simulated Windows USB stack: the command line's own code, its
// transport on the WinUSB table, and hardware-like programmers behind it, set up through
// TORV2_SIMULATED_USB with the launcher's option names. Each row runs the program and checks its
// exit code and what it printed.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
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
  std::string ReadAll() {
    std::string out;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(read_, buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
    return out;
  }

 private:
  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
};

struct Ran {
  DWORD exitCode = 0;
  std::string out, err;
};

Ran RunCli(const std::string& simulated, const std::string& args,
           const std::string& timeoutMs = "") {
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
  Ran ran;
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
    return ran;
  }
  out.CloseWrite();
  err.CloseWrite();
  std::thread errReader([&] { ran.err = err.ReadAll(); });
  ran.out = out.ReadAll();
  errReader.join();
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &ran.exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ran;
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

// Windows' line ends on the way out of the program.
std::string Unix(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

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

}  // namespace
}  // namespace torv2
