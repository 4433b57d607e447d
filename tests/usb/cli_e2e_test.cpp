// torv2-upgrader-cli end to end, through real libusb: the launcher attaches virtual programmers
// over umockdev (with the faults a row asks for) and runs the command line program as its
// command; each row checks the exit code and what the program printed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A child that does not end by then has hung; it is killed and the row fails.
constexpr auto kHang = 90s;

struct Outcome {
  int exitCode = -1;  // 128 + signal when killed by one
  std::string out;
  std::string err;
  Clock::duration took{};
};

// Closes a file descriptor at the end of its scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Pipe {
  Pipe() : Pipe(Make()) {}
  Fd read, write;

 private:
  struct Ends {
    int read = -1, write = -1;
  };
  explicit Pipe(Ends e) : read(e.read), write(e.write) {}
  static Ends Make() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    return {fds[0], fds[1]};
  }
};

// This process's environment without what would tie the launcher to another test bed.
std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("UMOCKDEV_DIR=") || entry.starts_with("TORV2_UMOCKDEV_REEXEC=")) continue;
    env.emplace_back(entry);
  }
  return env;
}

// Runs argv with its stdout and stderr captured, no shell in between.
Outcome RunCaptured(const std::vector<std::string>& args) {
  Outcome outcome;
  Pipe out, err;
  if (out.read.get() < 0 || err.read.get() < 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return outcome;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env = ChildEnvironment();
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const auto start = Clock::now();
  pid_t child = 0;
  const int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  out.write.reset();
  err.write.reset();
  if (error != 0) {
    ADD_FAILURE() << "cannot run " << args[0] << ": " << std::strerror(error);
    return outcome;
  }

  std::array<pollfd, 2> fds{pollfd{out.read.get(), POLLIN, 0}, pollfd{err.read.get(), POLLIN, 0}};
  std::array<std::string*, 2> into{&outcome.out, &outcome.err};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(start + kHang - Clock::now());
    if (left <= 0ms) {
      ::kill(child, SIGKILL);  // our own child, hung
      killed = true;
      break;
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      std::array<char, 4096> buffer;
      const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
      if (n > 0) {
        into[i]->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // poll() skips it from now on
        --open;
      }
    }
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.took = Clock::now() - start;
  EXPECT_FALSE(killed) << args[0] << " hung";
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

constexpr std::string_view kSuccessReport =
    "Torv2 Main Execute - Upgrade OK\n"
    "Torv2 Sub Execute - Upgrade OK\n"
    "┌─────────┬─────────┬─────────┬─────────┐\n"
    "│ＳＵＢ１（ＯＫ）　│ＳＵＢ２（ＯＫ）　│ＳＵＢ３（ＯＫ）　│ＳＵＢ４（ＯＫ）　│\n"
    "├─────────┼─────────┼─────────┼─────────┤\n"
    "│ＳＵＢ５（ＯＫ）　│ＳＵＢ６（ＯＫ）　│ＳＵＢ７（ＯＫ）　│ＳＵＢ８（ＯＫ）　│\n"
    "└─────────┴─────────┴─────────┴─────────┘　　　　　　\n"
    "Upgrade Version : 2.08\n"
    "Current Version : 2.07\n";

constexpr std::string_view kVersions = "Upgrade Version : 2.08\nCurrent Version : 2.07\n";
constexpr std::string_view kUpgradeError = "ZARN TORV II - Firmware Upgrade Error!";

struct CliCase {
  const char* name;
  std::vector<std::string> launcher;  // the launcher's options: devices and faults
  std::vector<std::string> cli;       // torv2-upgrader-cli's arguments
  int exitCode;
  std::optional<std::string> stdoutIs;  // the whole of stdout, when given
  std::vector<std::string> stdoutHas = {};
  std::vector<std::string> stderrHas = {};
  std::chrono::milliseconds atLeast{0};  // a wait the program must have made
  friend void PrintTo(const CliCase& c, std::ostream* os) { *os << c.name; }
};

class Cli : public ::testing::TestWithParam<CliCase> {};

TEST_P(Cli, ExitCodeAndOutput) {
  const CliCase& c = GetParam();
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), c.launcher.begin(), c.launcher.end());
  args.insert(args.end(), {"--", TORV2_CLI});
  args.insert(args.end(), c.cli.begin(), c.cli.end());

  const Outcome run = RunCaptured(args);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(run.took).count();
  RecordProperty("wall_ms", std::to_string(ms));
  const std::string shown = "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
  EXPECT_EQ(run.exitCode, c.exitCode) << shown;
  if (c.stdoutIs) {
    EXPECT_EQ(run.out, *c.stdoutIs) << shown;
  }
  for (const std::string& text : c.stdoutHas) {
    EXPECT_NE(run.out.find(text), std::string::npos) << "stdout lacks: " << text << shown;
  }
  for (const std::string& text : c.stderrHas) {
    EXPECT_NE(run.err.find(text), std::string::npos) << "stderr lacks: " << text << shown;
  }
  EXPECT_GE(run.took, c.atLeast);
  std::printf("%s: %lld ms\n", c.name, static_cast<long long>(ms));
}

const std::vector<std::string> kStatus{"--progress", "none", "status"};
const std::vector<std::string> kUpgrade{"--progress", "none", "upgrade"};

INSTANTIATE_TEST_SUITE_P(
    Rows, Cli,
    ::testing::Values(
        CliCase{"Status", {}, kStatus, 0, std::string(kVersions)},
        CliCase{"Upgrade", {}, kUpgrade, 0, std::string(kSuccessReport)},
        CliCase{"UpgradeAtHighSpeedFoundByMsOs10",
                {"--high-speed", "--msos1"},
                kUpgrade,
                0,
                std::string(kSuccessReport)},
        // The main image reads back with one byte changed in its second chunk.
        CliCase{"MainReadBackMismatch",
                {"--fault", "read-chunk:2:corrupt"},
                kUpgrade,
                1,
                std::nullopt,
                {"Torv2 Main Execute - Upgrade Fail\nTorv2 Sub Execute - Upgrade OK\n"}},
        CliCase{"SubBlockStatusError",
                {"--fault", "block-status:1:refuse"},
                kUpgrade,
                2,
                "",
                {},
                {std::string(kUpgradeError)}},
        CliCase{"SocketNotUpgraded",
                {"--sockets", "UUXUUUUU"},
                kUpgrade,
                1,
                std::nullopt,
                {"Torv2 Sub Execute - Upgrade OK\n", "│ＳＵＢ３（ＢＡＤ）│"}},
        CliCase{"FinalVerdictNotOk",
                {"--final-verdict", "NG"},
                kUpgrade,
                1,
                std::nullopt,
                {"Torv2 Sub Execute - Upgrade Fail\n"}},
        // The programmer drops off the bus in the middle of the main image download.
        CliCase{"UnpluggedDuringDownload",
                {"--fault", "chunk-ack:3:unplug"},
                kUpgrade,
                2,
                "",
                {},
                {std::string(kUpgradeError)}},
        // A device that says "Already." is told to reset, and the program waits for it to come
        // back before it reads the version.
        CliCase{"AlreadyMeansResetFirst",
                {"--status", "Already."},
                kStatus,
                0,
                std::string(kVersions),
                {},
                {},
                3000ms},
        // Noise the receivers must take in their stride.
        CliCase{
            "RefusedFramesAreSentAgain", {"--nak", "3"}, kUpgrade, 0, std::string(kSuccessReport)},
        CliCase{"UpperCaseChecksums",
                {"--upper-checksum", "5"},
                kUpgrade,
                0,
                std::string(kSuccessReport)},
        CliCase{"JunkBeforeReplies",
                {"--junk-before-reply", "zz"},
                kUpgrade,
                0,
                std::string(kSuccessReport)},
        CliCase{"A4StartMarker", {"--a4"}, kUpgrade, 0, std::string(kSuccessReport)},
        CliCase{"MergedTransfers", {"--merge"}, kUpgrade, 0, std::string(kSuccessReport)},
        CliCase{"RepliesInTenByteTransfers", {"--split", "10"}, kStatus, 0, std::string(kVersions)},
        CliCase{"NoProgrammer", {"--count", "0"}, kStatus, 3, "", {}, {"no programmer found"}},
        CliCase{"OnlyADecoy", {"--count", "0", "--decoy"}, kUpgrade, 3, ""},
        // Nothing to list is said, not left as an empty output.
        CliCase{
            "ListNone", {"--count", "0", "--decoy"}, {"list"}, 3, "", {}, {"no programmer found"}},
        CliCase{"ListTwo",
                {"--two"},
                {"list"},
                0,
                "VIRTUAL1  port 1-1  address 001:002  serial VIRTUAL1  (MS OS 2.0)\n"
                "VIRTUAL2  port 1-2  address 001:003  serial VIRTUAL2  (MS OS 2.0)\n"},
        CliCase{"DeviceSelectsOne",
                {"--two"},
                {"--device", "1:3", "list"},
                0,
                "VIRTUAL2  port 1-2  address 001:003  serial VIRTUAL2  (MS OS 2.0)\n"},
        CliCase{"DeviceWithoutAProgrammer",
                {"--two", "--decoy"},
                {"--device", "1:2", "--progress", "none", "status"},
                3,
                "",
                {},
                {"no programmer goes by 1:2"}},
        // Several programmers at once: one report each under its name, then a summary; the
        // exit code is the worst of them.
        CliCase{"AllUpgradedOneReportFails",
                {"--count", "3", "--fault", "read-chunk:2:corrupt", "--faults-on", "2"},
                {"--progress", "none", "--all", "upgrade"},
                1,
                std::nullopt,
                {"== VIRTUAL1 ==\n" + std::string(kSuccessReport),
                 "== VIRTUAL2 ==\nTorv2 Main Execute - Upgrade Fail\n",
                 "== VIRTUAL3 ==\n" + std::string(kSuccessReport),
                 "== summary ==\nVIRTUAL1  0  ok\nVIRTUAL2  1  the report shows a failure\n"
                 "VIRTUAL3  0  ok\n"}},
        CliCase{"AllOneStopsOnAnError",
                {"--two", "--fault", "block-status:1:refuse", "--faults-on", "1"},
                {"--progress", "none", "--all", "upgrade"},
                2,
                std::nullopt,
                {"VIRTUAL1  2  stopped on an error\nVIRTUAL2  0  ok\n"},
                {"VIRTUAL1: " + std::string(kUpgradeError)}},
        CliCase{"AllWithProgressPerDevice",
                {"--two"},
                {"--progress", "json", "--all", "upgrade"},
                0,
                std::nullopt,
                {},
                {R"({"device":"VIRTUAL1","image":"sub","percent":100,"phase":"Verify"})",
                 R"({"device":"VIRTUAL2","image":"sub","percent":100,"phase":"Verify"})"}},
        CliCase{"AllWithoutSerialNumbersNamedByPort",
                {"--two", "--serial", ""},
                {"--progress", "none", "--all", "status"},
                0,
                std::nullopt,  // each report comes when its programmer is done, in any order
                {"== 1-1 ==\n" + std::string(kVersions), "== 1-2 ==\n" + std::string(kVersions),
                 "== summary ==\n1-1  0  ok\n1-2  0  ok\n"}},
        CliCase{"AllWithoutAProgrammer",
                {"--count", "0", "--decoy"},
                {"--progress", "none", "--all", "upgrade"},
                3,
                "",
                {},
                {"no programmer found"}},
        // Two programmers with one serial number are never guessed between.
        CliCase{"AllRefusesNamesakes",
                {"--two", "--serial", "SAME"},
                {"--progress", "none", "--all", "upgrade"},
                3,
                "",
                {},
                {"2 programmers go by SAME (at 1-1, 1-2): none of them is used"}},
        CliCase{"DeviceRefusesNamesakes",
                {"--two", "--serial", "SAME"},
                {"--device", "SAME", "--progress", "none", "upgrade"},
                3,
                "",
                {},
                {"name one by its port, e.g. --device 1-1"}},
        CliCase{
            "DeviceByPortTellsNamesakesApart",
            {"--two", "--serial", "SAME", "--fault", "final-verdict:1:refuse", "--faults-on", "1"},
            {"--device", "1-2", "--progress", "none", "upgrade"},
            0,
            std::string(kSuccessReport)},
        // With bus time on, a whole upgrade cannot beat the protocol's floor on a full-speed
        // bus (bench_bus: 1,867 ms, and 5 ms more for each of the 178 chunks).
        CliCase{"UpgradeTakesItsBusTime",
                {"--bus-time"},
                kUpgrade,
                0,
                std::string(kSuccessReport),
                {},
                {},
                1867ms},
        CliCase{"DeviceTimeForEachChunk",
                {"--bus-time", "--device-delay-us", "5000"},
                kUpgrade,
                0,
                std::string(kSuccessReport),
                {},
                {},
                2757ms},
        CliCase{"DeviceBySerialNumber",
                {"--two", "--fault", "final-verdict:1:refuse", "--faults-on", "1"},
                {"--device", "VIRTUAL2", "--progress", "none", "upgrade"},
                0,
                std::string(kSuccessReport)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
