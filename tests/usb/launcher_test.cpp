// with-virtual-programmer end to end: the launcher script starts the launcher binary, which
// attaches virtual devices and runs usb_probe (a plain libusb program) as its command.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <string>

namespace {

struct Outcome {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (const char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  return q + "'";
}

Outcome Launch(const std::string& arguments, const std::string& buildDir = TORV2_BUILD_DIR) {
  const std::string command = "env -u UMOCKDEV_DIR TORV2_BUILD_DIR=" + Quote(buildDir) + " " +
                              Quote(TORV2_LAUNCHER) + " " + arguments + " 2>&1";
  Outcome run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    run.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

const std::string kProbe = Quote(TORV2_USB_PROBE);

struct LaunchCase {
  const char* name;
  std::string arguments;
  int exitCode;
  std::string output;
  friend void PrintTo(const LaunchCase& c, std::ostream* os) { *os << c.name; }
};

class Launcher : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(Launcher, RunsTheCommandWithTheDevicesAttached) {
  const LaunchCase& c = GetParam();
  const Outcome run = Launch(c.arguments);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
  EXPECT_EQ(run.output, c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Options, Launcher,
    ::testing::Values(
        LaunchCase{"OneProgrammer", "-- " + kProbe, 0,
                   "1209:0001 serial=VIRTUAL1 speed=12 guid=msos20\n"},
        // libusb lists the newest device first.
        LaunchCase{"DecoyAndTwo", "--decoy --two -- " + kProbe, 0,
                   "1209:0001 serial=VIRTUAL2 speed=12 guid=msos20\n"
                   "1209:0001 serial=VIRTUAL1 speed=12 guid=msos20\n"
                   "1209:0002 serial=DECOY speed=12 guid=none\n"},
        LaunchCase{"MsOs10HighSpeed", "--msos1 --high-speed -- " + kProbe, 0,
                   "1209:0001 serial=VIRTUAL1 speed=480 guid=msos10\n"},
        LaunchCase{"VersionReply",
                   "--version 'MainExe - TORV2 Execute V09.99' -- " + kProbe +
                       " --query VersionRead:Torv2MainExe,",
                   0, "ack=+ reply=MainExe - TORV2 Execute V09.99\n"},
        LaunchCase{"StatusReply", "--status Already. -- " + kProbe + " --query CurrentStatus", 0,
                   "ack=+ reply=Already.\n"},
        LaunchCase{"UnplugAndReplug",
                   "--unplug-at 1000 --replug-at 1100 -- " + kProbe + " --watch 2", 0,
                   "left 1209:0001\narrived 1209:0001\n"},
        LaunchCase{"ExitCodeOfTheCommand", "-- sh -c 'exit 7'", 7, ""},
        LaunchCase{"CommandNotFound", "-- /nonexistent/command", 127,
                   "with-virtual-programmer: cannot run /nonexistent/command: No such file or "
                   "directory\n"},
        LaunchCase{"NoDevices", "--count 0 -- " + kProbe, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LauncherScript, SaysHowToBuildWhenTheLauncherIsMissing) {
  const Outcome run = Launch("-- true", "/nonexistent/build");
  EXPECT_EQ(run.exitCode, 127);
  EXPECT_NE(run.output.find("is not built"), std::string::npos) << run.output;
}

TEST(LauncherScript, RefusesAMissingCommand) {
  const Outcome run = Launch("--decoy");
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.output.find("command"), std::string::npos) << run.output;
}

}  // namespace
