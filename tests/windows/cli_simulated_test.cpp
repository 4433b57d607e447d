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
}

INSTANTIATE_TEST_SUITE_P(
    Windows, CliOverSimulatedWindows,
    ::testing::Values(
        CliCase{"Upgrade", "", "--progress none upgrade", 0, kSuccessReport},
        // With several attached, the transport takes the first one SetupAPI lists.
        CliCase{"UpgradeTheFirstOfThree", "--count 3", "--progress none upgrade", 0,
                kSuccessReport},
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
        // Another program holds the programmer's device file.
        CliCase{"HeldByAnotherProgram", "--held VIRTUAL1", "--progress none status", 3, "", {}},
        CliCase{"NoiseInTheReplies", "--nak 3 --upper-checksum 5 --junk-before-reply zz",
                "--progress none upgrade", 0, kSuccessReport},
        CliCase{
            "BadSetting", "--fault nowhere:1:junk", "status", 64, "", {"TORV2_SIMULATED_USB: "}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2
