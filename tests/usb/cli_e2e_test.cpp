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

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace {

using torv2::test::Clock;
using torv2::test::Fd;
using torv2::test::kHang;
using torv2::test::Outcome;
using torv2::test::Pipe;
using torv2::test::Watch;
using namespace std::chrono_literals;

// Starts argv with the test's own history folder; see torv2::test::Spawn.
pid_t Spawn(const std::vector<std::string>& args, Pipe& out, Pipe& err, bool ownGroup = false,
            const std::string& pathFirst = {}) {
  return torv2::test::Spawn(args, out, err, ownGroup,
                            {torv2::test::TestStateHome(TORV2_TEST_STATE), pathFirst});
}

// Runs argv with the test's own history folder; see torv2::test::RunCaptured.
Outcome RunCaptured(const std::vector<std::string>& args, const Watch& watch = nullptr,
                    const std::string& pathFirst = {}) {
  return torv2::test::RunCaptured(args, watch,
                                  {torv2::test::TestStateHome(TORV2_TEST_STATE), pathFirst});
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
    "Current Version : 2.08\n";  // the programmer reads the title of its new image

constexpr std::string_view kUdevRule =
    "# ZARN TORV II programmers: the user at the seat may open them (torv2-upgrader).\n"
    "# Written by torv2-upgrader-cli udev-rule for the programmers it found attached.\n"
    "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1209\", "
    "ATTR{idProduct}==\"0001\", TAG+=\"uaccess\"\n";

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
  std::vector<std::string> stderrLacks = {};
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
  for (const std::string& text : c.stderrLacks) {
    EXPECT_EQ(run.err.find(text), std::string::npos) << "stderr has: " << text << shown;
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
                {"Torv2 Main Execute - Upgrade Fail\nTorv2 Sub Execute - Upgrade OK\n"},
                {"cause: main read-back chunk 2: read-back differs at offset 12288\n"}},
        CliCase{"SubBlockStatusError",
                {"--fault", "block-status:1:refuse"},
                kUpgrade,
                2,
                "",
                {},
                {std::string(kUpgradeError) + "\ncause: sub block 1: refused (\"Error\")\n"}},
        // With JSON progress the cause comes as one object, its parts as fields.
        CliCase{"CauseAsJson",
                {"--fault", "block-status:1:refuse"},
                {"--progress", "json", "upgrade"},
                2,
                "",
                {},
                {std::string(kUpgradeError) + "\n" +
                 R"j({"answer":"\"Error\"","cause":"sub block 1: refused (\"Error\")",)j"
                 R"j("number":1,"step":"sub block","transfer":"ok","what":"refused"})j"}},
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
                {"Torv2 Sub Execute - Upgrade Fail\n"},
                {"cause: final verdict: refused (\"NG\")\n"}},
        // The programmer drops off the bus in the middle of the main image download.
        CliCase{"UnpluggedDuringDownload",
                {"--fault", "chunk-ack:3:unplug"},
                kUpgrade,
                2,
                "",
                {},
                {std::string(kUpgradeError) +
                 "\ncause: main chunk 3: device gone (transfer: no device); the job stopped at "
                 "sub write command\n"}},
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
        // A programmer that says "Already." restarts and comes back at a new address with the
        // same serial number on the same port; it is found again however it was named.
        CliCase{"StatusBySerialAfterReset",
                {"--two", "--status", "Already."},
                {"--device", "VIRTUAL2", "--progress", "none", "status"},
                0,
                std::string(kVersions),
                {},
                {},
                3000ms},
        CliCase{"StatusByAddressAfterReset",
                {"--two", "--status", "Already."},
                {"--device", "1:3", "--progress", "none", "status"},
                0,
                std::string(kVersions),
                {},
                {},
                3000ms},
        CliCase{"UpgradeByPortAfterReset",
                {"--two", "--serial", "", "--status", "Already."},
                {"--device", "1-2", "--progress", "none", "upgrade"},
                0,
                std::string(kSuccessReport),
                {},
                {},
                3000ms},
        CliCase{"AllUpgradeAfterReset",
                {"--count", "3", "--status", "Already."},
                {"--progress", "none", "--all", "upgrade"},
                0,
                // The reports and the summary in name order, whichever programmer ends first.
                "== VIRTUAL1 ==\n" + std::string(kSuccessReport) + "== VIRTUAL2 ==\n" +
                    std::string(kSuccessReport) + "== VIRTUAL3 ==\n" + std::string(kSuccessReport) +
                    "== summary ==\nprogrammer  exit  result\n"
                    "VIRTUAL1    0     ok\nVIRTUAL2    0     ok\nVIRTUAL3    0     ok\n",
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
        // The version query fails: the versions are shown, and the exit code says not ready.
        CliCase{"StatusVersionNotAcknowledged",
                {"--fault", "command-ack:2:junk"},
                kStatus,
                3,
                "Upgrade Version : 2.08\nCurrent Version : Unknown\n"},
        CliCase{"StatusReplyWithoutAVersion",
                {"--version", "Error"},
                kStatus,
                3,
                "Upgrade Version : 2.08\nCurrent Version : 0.00\n"},
        CliCase{"AllStatusOneVersionUnread",
                {"--two", "--fault", "command-ack:2:junk", "--faults-on", "1"},
                {"--progress", "none", "--all", "status"},
                3,
                std::nullopt,
                {"== VIRTUAL1 ==\nUpgrade Version : 2.08\nCurrent Version : Unknown\n",
                 "== summary ==\nprogrammer  exit  result\n"
                 "VIRTUAL1    3     not found or not ready: version query: junk (\"\\x01\")\n"
                 "VIRTUAL2    0     ok\n"}},
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
        // Several programmers and none named: none is guessed at, and nothing is sent to any.
        CliCase{"TwoAndNoChoice",
                {"--two"},
                {"--trace", "--progress", "none", "upgrade"},
                64,
                "",
                {},
                {"2 programmers are attached and none was named, so none is used:\n"
                 "  VIRTUAL1  port 1-1  address 001:002  serial VIRTUAL1  (MS OS 2.0)\n"
                 "  VIRTUAL2  port 1-2  address 001:003  serial VIRTUAL2  (MS OS 2.0)\n"
                 "name one with --device (e.g. torv2-upgrader-cli upgrade --device VIRTUAL1), or "
                 "take every one with --all\n"},
                0ms,
                {"-> ", "<- "}},
        CliCase{"EmptyDeviceName",
                {},
                {"--trace", "upgrade", "--device", ""},
                64,
                "",
                {},
                {"--device: an empty name names no programmer (is a variable unset?)"},
                0ms,
                {"-> ", "<- "}},
        // Options after the command, where people put them.
        CliCase{"OptionsAfterTheCommand",
                {"--two"},
                {"status", "--device", "VIRTUAL2", "--progress", "none"},
                0,
                std::string(kVersions)},
        CliCase{"AllAfterTheCommand",
                {"--two"},
                {"upgrade", "--all", "--progress", "none"},
                0,
                std::nullopt,
                {"== VIRTUAL1 ==\n", "== VIRTUAL2 ==\n"}},
        CliCase{"ANameThatMatchesNothing",
                {"--two"},
                {"status", "--device", "virtual2"},
                3,
                "",
                {},
                {"no programmer goes by virtual2; did you mean VIRTUAL2? (attached: VIRTUAL1, "
                 "VIRTUAL2; see the list command)\n"}},
        // The only programmer, once chosen, is followed through its restart: another one plugged
        // in while it is away (and which could not answer its version) is left alone.
        CliCase{"TheOneChosenIsFollowedThroughItsRestart",
                {"--two", "--last-arrives-on-reset", "--status", "Already.", "--fault",
                 "version-reply:1:junk", "--faults-on", "2"},
                kStatus,
                0,
                std::string(kVersions)},
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
                 "== summary ==\nprogrammer  exit  result\n"
                 "VIRTUAL1    0     ok\n"
                 "VIRTUAL2    1     the report shows a failure: main read-back chunk 2: read-back "
                 "differs at offset 12288\n"
                 "VIRTUAL3    0     ok\n"}},
        CliCase{"AllOneStopsOnAnError",
                {"--two", "--fault", "block-status:1:refuse", "--faults-on", "1"},
                {"--progress", "none", "--all", "upgrade"},
                2,
                std::nullopt,
                {"programmer  exit  result\n"
                 "VIRTUAL1    2     stopped on an error: sub block 1: refused (\"Error\")\n"
                 "VIRTUAL2    0     ok\n"},
                {"VIRTUAL1: " + std::string(kUpgradeError) +
                 "\nVIRTUAL1: cause: sub block 1: refused (\"Error\")\n"}},
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
                // The reports in name order, whichever programmer is done first.
                "== 1-1 ==\n" + std::string(kVersions) + "== 1-2 ==\n" + std::string(kVersions) +
                    "== summary ==\nprogrammer  exit  result\n"
                    "1-1         0     ok\n1-2         0     ok\n"},
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
        // The rule matches the programmer found by its GUID, not the decoy beside it.
        CliCase{"UdevRuleForTheAttachedProgrammer",
                {"--decoy"},
                {"udev-rule"},
                0,
                std::string(kUdevRule),
                {},
                {"save it as /etc/udev/rules.d/70-torv2-upgrader.rules"}},
        // Users without a seat (SSH, build machines) get in through a group.
        CliCase{"UdevRuleForAGroup",
                {},
                {"udev-rule", "--group", "root"},
                0,
                "# ZARN TORV II programmers: the user at the seat and the group root may open "
                "them (torv2-upgrader).\n"
                "# Written by torv2-upgrader-cli udev-rule for the programmers it found "
                "attached.\n"
                "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1209\", "
                "ATTR{idProduct}==\"0001\", TAG+=\"uaccess\", GROUP=\"root\", MODE=\"0660\"\n"},
        // A name that could end the rule's quotes, or a group the system does not have, is
        // refused before anything is looked for.
        CliCase{"UdevRuleGroupThatCouldBreakTheRule",
                {},
                {"udev-rule", "--group", "x\", MODE=\"0666"},
                64,
                "",
                {},
                {"udev-rule --group: 'x\", MODE=\"0666' is not a group name\n"}},
        CliCase{"UdevRuleGroupThatDoesNotExist",
                {},
                {"udev-rule", "--group", "no-such-group-torv2"},
                64,
                "",
                {},
                {"udev-rule --group: there is no group 'no-such-group-torv2' on this system\n"}},
        CliCase{"UdevRuleWithoutAProgrammer",
                {"--count", "0", "--decoy"},
                {"udev-rule"},
                3,
                "",
                {},
                {"no programmer found: plug it in and run this as root",
                 "or write the rule without the programmer: torv2-upgrader-cli udev-rule --id "
                 "VID:PID, with the vendor and product id that `lsusb` shows for the programmer"}},
        // The rule for ids given, with none attached: each id once, in the lower case sysfs
        // shows, and the command that installs it names them as given.
        CliCase{"UdevRuleForGivenIds",
                {"--count", "0"},
                {"udev-rule", "--id", "16C0:05DC", "--id", "1209:0001", "--id", "16c0:05dc"},
                0,
                "# ZARN TORV II programmers: the user at the seat may open them "
                "(torv2-upgrader).\n"
                "# Written by torv2-upgrader-cli udev-rule for the USB ids it was given (--id).\n"
                "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1209\", "
                "ATTR{idProduct}==\"0001\", TAG+=\"uaccess\"\n"
                "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"16c0\", "
                "ATTR{idProduct}==\"05dc\", TAG+=\"uaccess\"\n",
                {},
                {"save it as /etc/udev/rules.d/70-torv2-upgrader.rules",
                 "or let this program do all of it: sudo torv2-upgrader-cli udev-rule --install "
                 "--id 16C0:05DC --id 1209:0001 --id 16c0:05dc\n"}},
        // --rules-dir without --install: the advice is for that directory.
        CliCase{"UdevRuleAdviceForAnotherRulesDir",
                {},
                {"udev-rule", "--rules-dir", "/tmp/other rules", "--group", "root"},
                0,
                std::nullopt,
                {"GROUP=\"root\""},
                {"save it as /tmp/other rules/70-torv2-upgrader.rules (as root;",
                 "or let this program do all of it: sudo torv2-upgrader-cli udev-rule --install "
                 "--rules-dir '/tmp/other rules' --group root\n"}},
        // An id that is not one is refused before anything is looked for.
        CliCase{"UdevRuleIdNotHexadecimal",
                {},
                {"udev-rule", "--id", "12g9:0001"},
                64,
                "",
                {},
                {"udev-rule --id: '12g9:0001' is not a USB id: give the vendor and product id as "
                 "VID:PID, four hexadecimal digits each, as `lsusb` shows them for the "
                 "programmer\n"}},
        CliCase{"UdevRuleIdOfThreeDigits",
                {},
                {"udev-rule", "--id", "123:0001"},
                64,
                "",
                {},
                {"udev-rule --id: '123:0001' is not a USB id: give the vendor and product id as "
                 "VID:PID"}},
        CliCase{"UdevRuleIdWithoutProduct",
                {},
                {"udev-rule", "--id", "1209"},
                64,
                "",
                {},
                {"udev-rule --id: '1209' is not a USB id: give the vendor and product id as "
                 "VID:PID"}},
        CliCase{"UdevRuleIdOfVendor0000",
                {},
                {"udev-rule", "--id", "0000:0001"},
                64,
                "",
                {},
                {"udev-rule --id: '0000:0001' is not a USB id: 0000 is not a vendor id\n"}},
        CliCase{"UdevRuleIdOfProduct0000",
                {},
                {"udev-rule", "--id", "1209:0001", "--id", "1209:0000"},
                64,
                "",
                {},
                {"udev-rule --id: '1209:0000' is not a USB id: 0000 is not a product id\n"}},
        CliCase{"UdevRuleCannotBeWritten",
                {},
                {"udev-rule", "--install", "--rules-dir", "/nonexistent-torv2"},
                2,
                "",
                {},
                {"cannot write /nonexistent-torv2/70-torv2-upgrader.rules: No such file or "
                 "directory; nothing was changed\n"}},
        // --virtual works with the virtual programmer alone, whatever is attached: list shows
        // it, --device takes its name and refuses any other, also one that is attached.
        CliCase{"VirtualList",
                {},
                {"--virtual", "list"},
                0,
                "virtual  the built-in virtual programmer (no USB)\n"},
        CliCase{"VirtualListByName",
                {},
                {"--virtual", "--device", "virtual", "list"},
                0,
                "virtual  the built-in virtual programmer (no USB)\n"},
        CliCase{"VirtualStatusByName",
                {},
                {"--virtual", "--device", "virtual", "--progress", "none", "status"},
                0,
                std::string(kVersions)},
        CliCase{"VirtualWithAnAttachedProgrammersName",
                {},
                {"--virtual", "--device", "VIRTUAL1", "--progress", "none", "upgrade"},
                64,
                "",
                {},
                {"--device VIRTUAL1: with --virtual the only programmer is the built-in virtual "
                 "one, \"virtual\"\n"}},
        CliCase{"VirtualListWithAPort",
                {},
                {"--virtual", "--device", "1-1", "list"},
                64,
                "",
                {},
                {"--device 1-1: with --virtual the only programmer is the built-in virtual one, "
                 "\"virtual\"\n"}},
        CliCase{"DeviceBySerialNumber",
                {"--two", "--fault", "final-verdict:1:refuse", "--faults-on", "1"},
                {"--device", "VIRTUAL2", "--progress", "none", "upgrade"},
                0,
                std::string(kSuccessReport)}),
    [](const auto& info) { return std::string(info.param.name); });

// The status query goes unanswered: the version is still read and shown, but the programmer is
// not ready, and the exit code says so.
TEST(CliStatus, AnUnansweredStatusQueryIsNotReady) {
  const Outcome run =
      RunCaptured({TORV2_LAUNCHER_BIN, "--fault", "status-reply:1:no-answer", "--", "env",
                   "TORV2_TRANSFER_TIMEOUT_MS=100", TORV2_CLI, "--progress", "none", "status"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_EQ(run.out, kVersions);
  EXPECT_EQ(run.err,
            "Read Current Status Data Fail!\n"
            "cause: status query: time-out after 100 ms (transfer: timed out)\n"
            "fix: unplug the programmer, plug it in again and run `torv2-upgrader-cli status` "
            "again\n");
}

// --- Permissions ---

// Runs the command line under the launcher; as root, without the capabilities that let root open
// any file, so that a device node that refuses to open does refuse it.
class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) return;
    const Outcome probe = RunCaptured({"/usr/bin/setpriv", kDropDac, "--", "/bin/true"});
    if (probe.exitCode != 0) GTEST_SKIP() << "cannot drop CAP_DAC_OVERRIDE here: " << probe.err;
    dropDac_ = true;
  }

  Outcome Run(std::vector<std::string> launcher, std::vector<std::string> cli) {
    std::vector<std::string> args{TORV2_LAUNCHER_BIN};
    args.insert(args.end(), launcher.begin(), launcher.end());
    args.push_back("--");
    if (dropDac_) args.insert(args.end(), {"/usr/bin/setpriv", kDropDac, "--"});
    args.push_back(TORV2_CLI);
    args.insert(args.end(), cli.begin(), cli.end());
    return RunCaptured(args);
  }

  static constexpr const char* kDropDac = "--bounding-set=-dac_override,-dac_read_search";
  bool dropDac_ = false;
};

constexpr std::string_view kFix =
    "fix: this user has no permission to open USB devices; install the udev rule that lets the "
    "user at the seat open programmers: with the programmer plugged in, run `sudo "
    "torv2-upgrader-cli udev-rule --install` (`torv2-upgrader-cli udev-rule` shows the rule), "
    "then plug the programmer in again\n";

TEST_F(Permissions, AProgrammerThatCannotBeOpenedIsNamedWithTheFix) {
  const Outcome run = Run({"--no-access"}, {"--progress", "none", "upgrade"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "USB UnConn: no programmer found\n"
            "cause: opening the programmer: no programmer found; 1 USB device could not be "
            "checked (bus 1 port 1-1: no permission)\n" +
                std::string(kFix));
}

TEST_F(Permissions, DiscoveryGoesOnWithTheOthersAndThenSaysSo) {
  const std::string unchecked =
      "1 USB device could not be checked for a programmer: bus 1 port 1-1 (no permission)\n";
  const Outcome list = Run({"--two", "--no-access", "--faults-on", "1"}, {"list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(list.out, "VIRTUAL2  port 1-2  address 001:003  serial VIRTUAL2  (MS OS 2.0)\n");
  EXPECT_EQ(list.err, unchecked + std::string(kFix));

  const Outcome upgrade =
      Run({"--two", "--no-access", "--faults-on", "1"}, {"--progress", "none", "upgrade"});
  EXPECT_EQ(upgrade.exitCode, 0) << upgrade.err;
  EXPECT_EQ(upgrade.out, kSuccessReport);
  const std::regex written("wrote [0-9,]+ bytes \\(main [0-9,]+ \\+ sub [0-9,]+\\) in [0-9.]+ s\n");
  EXPECT_EQ(std::regex_replace(upgrade.err, written, "WRITTEN\n"),
            unchecked + std::string(kFix) + "WRITTEN\n");
}

TEST_F(Permissions, UdevRuleNeedsToOpenTheProgrammer) {
  const Outcome run = Run({"--no-access"}, {"udev-rule"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("no programmer found: plug it in and run this as root"), std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("bus 1 port 1-1 (no permission)"), std::string::npos) << run.err;
}

// --- udev-rule --install ---

class UdevRuleInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/torv2-udev-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    root_ = name;
    rules_ = root_ / "rules.d";
    bin_ = root_ / "bin";
    std::filesystem::create_directories(rules_);
    std::filesystem::create_directories(bin_);
    // udevadm that notes its arguments, one call a line.
    const auto udevadm = bin_ / "udevadm";
    std::ofstream(udevadm) << "#!/bin/sh\necho \"$*\" >> " << (root_ / "udevadm.log").string()
                           << "\nexit ${TORV2_TEST_UDEVADM_EXIT:-0}\n";
    std::filesystem::permissions(udevadm, std::filesystem::perms::owner_all);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  Outcome Install(const std::vector<std::string>& launcher = {},
                  const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{TORV2_LAUNCHER_BIN};
    args.insert(args.end(), launcher.begin(), launcher.end());
    args.insert(args.end(),
                {"--", TORV2_CLI, "udev-rule", "--install", "--rules-dir", rules_.string()});
    args.insert(args.end(), more.begin(), more.end());
    return RunCaptured(args, nullptr, bin_.string());
  }
  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> RulesDirEntries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(rules_)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::filesystem::path root_, rules_, bin_;
};

TEST_F(UdevRuleInstall, WritesTheRuleAndHasUdevReadIt) {
  std::ofstream(rules_ / "70-torv2-upgrader.rules") << "an older rule\n";
  const Outcome run = Install();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Read(rules_ / "70-torv2-upgrader.rules"), kUdevRule);
  EXPECT_EQ(std::filesystem::status(rules_ / "70-torv2-upgrader.rules").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  EXPECT_EQ(RulesDirEntries(), std::vector<std::string>{"70-torv2-upgrader.rules"});
  EXPECT_EQ(Read(root_ / "udevadm.log"),
            "control --reload-rules\ntrigger --action=change --subsystem-match=usb\n");
  EXPECT_NE(run.err.find("wrote " + (rules_ / "70-torv2-upgrader.rules").string()),
            std::string::npos)
      << run.err;
}

// Written in advance, for the ids given, with no programmer attached.
TEST_F(UdevRuleInstall, WritesTheRuleForGivenIdsWithoutAProgrammer) {
  const Outcome run = Install({"--count", "0"}, {"--id", "1209:ABCD"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Read(rules_ / "70-torv2-upgrader.rules"),
            "# ZARN TORV II programmers: the user at the seat may open them (torv2-upgrader).\n"
            "# Written by torv2-upgrader-cli udev-rule for the USB ids it was given (--id).\n"
            "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1209\", "
            "ATTR{idProduct}==\"abcd\", TAG+=\"uaccess\"\n");
  EXPECT_EQ(Read(root_ / "udevadm.log"),
            "control --reload-rules\ntrigger --action=change --subsystem-match=usb\n");
}

// The rule's place is taken by something a file cannot replace: a clear error, nothing changed
// and nothing left behind, and udev is not bothered.
TEST_F(UdevRuleInstall, ARuleThatCannotBeWrittenChangesNothing) {
  std::filesystem::create_directories(rules_ / "70-torv2-upgrader.rules" / "inside");
  const Outcome run = Install();
  EXPECT_EQ(run.exitCode, 2) << run.err;
  EXPECT_NE(run.err.find("cannot write " + (rules_ / "70-torv2-upgrader.rules").string() + ": "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("; nothing was changed"), std::string::npos) << run.err;
  EXPECT_EQ(RulesDirEntries(), std::vector<std::string>{"70-torv2-upgrader.rules"});
  EXPECT_TRUE(std::filesystem::is_directory(rules_ / "70-torv2-upgrader.rules" / "inside"));
  EXPECT_FALSE(std::filesystem::exists(root_ / "udevadm.log"));
}

}  // namespace

namespace {

// A history file of the test's own, not there yet.
std::string FreshHistory(const std::string& name) {
  const std::filesystem::path folder = std::filesystem::path(TORV2_TEST_STATE) / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return (folder / "history.sqlite").string();
}

// Eight programmers upgraded at once, the third failing its report: the history's summary has a
// line for each with the version it reported and how its upgrade ended.
TEST(CliHistory, AllUpgradeThenSummary) {
  const std::string history = FreshHistory("all-eight");
  const Outcome all = RunCaptured({TORV2_LAUNCHER_BIN, "--count", "8", "--fault",
                                   "read-chunk:2:corrupt", "--faults-on", "3", "--", TORV2_CLI,
                                   "--history", history, "--progress", "none", "--all", "upgrade"});
  EXPECT_EQ(all.exitCode, 1) << all.err;
  // No warning from the history; only why the third one's report fails, what to do, and what
  // each wrote.
  const std::regex written(
      "VIRTUAL[1-8]: wrote [0-9,]+ bytes \\(main [0-9,]+ \\+ sub [0-9,]+\\) "
      "in [0-9.]+ s\n");
  EXPECT_EQ(std::regex_replace(all.err, written, ""),
            "VIRTUAL3: cause: main read-back chunk 2: read-back differs at offset 12288\n"
            "VIRTUAL3: fix: run `torv2-upgrader-cli upgrade --device VIRTUAL3` again; if the same "
            "part fails again, the programmer needs servicing\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(all.err.begin(), all.err.end(), written),
                          std::sregex_iterator()),
            7);

  const Outcome summary = RunCaptured({TORV2_CLI, "--history", history, "history", "--summary"});
  EXPECT_EQ(summary.exitCode, 0) << summary.err;
  const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  EXPECT_EQ(std::regex_replace(summary.out, time, "TIME"),
            "DEVICE    VERSION  LAST UPGRADE              OUTCOME\n"
            "VIRTUAL1  2.08     TIME  ok\n"
            "VIRTUAL2  2.08     TIME  ok\n"
            "VIRTUAL3  2.08     TIME  report failure: main\n"
            "VIRTUAL4  2.08     TIME  ok\n"
            "VIRTUAL5  2.08     TIME  ok\n"
            "VIRTUAL6  2.08     TIME  ok\n"
            "VIRTUAL7  2.08     TIME  ok\n"
            "VIRTUAL8  2.08     TIME  ok\n")
      << summary.out;

  // One row for each, with where it was on the bus.
  const Outcome third =
      RunCaptured({TORV2_CLI, "--history", history, "history", "--device", "VIRTUAL3", "--csv"});
  EXPECT_EQ(third.exitCode, 0) << third.err;
  EXPECT_NE(third.out.find(",torv2-upgrader-cli,upgrade,VIRTUAL3,001:004,2.07,2.08,report "
                           "failure,main,main read-back chunk 2: read-back differs at offset "
                           "12288,UUUUUUUU,2.08,"),
            std::string::npos)
      << third.out;
  EXPECT_EQ(std::count(third.out.begin(), third.out.end(), '\n'), 2);
}

struct CauseCase {
  const char* name;
  std::vector<std::string> launcher;  // the launcher's options
  std::vector<std::string> before;    // what runs the command line (an environment)
  std::vector<std::string> cli;
  int exitCode;
  const char* kind;
  friend void PrintTo(const CauseCase& c, std::ostream* os) { *os << c.name; }
};

class CliHistoryCause : public ::testing::TestWithParam<CauseCase> {};

// An attempt that fails keeps why in the history, in the words the command line printed after
// "cause: ".
TEST_P(CliHistoryCause, IsTheOnePrinted) {
  const CauseCase& c = GetParam();
  const std::string history = FreshHistory(std::string("cause-") + c.name);
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), c.launcher.begin(), c.launcher.end());
  args.push_back("--");
  args.insert(args.end(), c.before.begin(), c.before.end());
  args.insert(args.end(), {TORV2_CLI, "--history", history, "--progress", "none"});
  args.insert(args.end(), c.cli.begin(), c.cli.end());
  const Outcome run = RunCaptured(args);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
  const std::size_t at = run.err.find("cause: ");
  ASSERT_NE(at, std::string::npos) << run.err;
  const std::size_t from = at + std::strlen("cause: ");
  const std::string printed = run.err.substr(from, run.err.find('\n', from) - from);

  const Outcome shown = RunCaptured({TORV2_CLI, "--history", history, "history", "--json"});
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  const nlohmann::json rows = nlohmann::json::parse(shown.out, nullptr, false);
  ASSERT_TRUE(rows.is_array() && rows.size() == 1u) << shown.out;
  EXPECT_EQ(rows[0]["kind"], c.kind);
  ASSERT_TRUE(rows[0]["cause"].is_string()) << shown.out;
  EXPECT_EQ(rows[0]["cause"].get<std::string>(), printed);
}

INSTANTIATE_TEST_SUITE_P(Ways, CliHistoryCause,
                         ::testing::Values(
                             // Unplugged in the middle of the main image, at its third chunk
                             // whatever the machine's pace.
                             CauseCase{"UnpluggedMidUpgrade",
                                       {"--fault", "chunk-ack:3:unplug"},
                                       {},
                                       {"upgrade"},
                                       2,
                                       "upgrade"},
                             CauseCase{"StatusQueryUnanswered",
                                       {"--fault", "status-reply:1:no-answer"},
                                       {"env", "TORV2_TRANSFER_TIMEOUT_MS=100"},
                                       {"status"},
                                       3,
                                       "status"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The command line killed in the middle of an upgrade: the history it would have written to is
// whole and readable, with the earlier attempt and the killed one's row, which says that it did
// not finish.
TEST(CliHistory, KilledMidUpgradeLeavesAReadableHistory) {
  const std::string history = FreshHistory("killed");
  const Outcome first = RunCaptured(
      {TORV2_LAUNCHER_BIN, "--", TORV2_CLI, "--history", history, "--progress", "none", "upgrade"});
  ASSERT_EQ(first.exitCode, 0) << first.err;

  const std::string pidFile = history + ".pid";
  Pipe out, err;
  const pid_t launcher = Spawn({TORV2_LAUNCHER_BIN, "--bus-time", "--", "/bin/sh", "-c",
                                "echo $$ > '" + pidFile + "'; exec '" TORV2_CLI "' --history '" +
                                    history + "' --progress lines upgrade"},
                               out, err);
  ASSERT_NE(launcher, 0);
  // Waits for the first progress line of the main image download, bounded by kHang.
  std::string seen;
  const auto start = Clock::now();
  while (seen.find("main Down") == std::string::npos && Clock::now() - start < kHang) {
    pollfd fd{err.read.get(), POLLIN, 0};
    if (::poll(&fd, 1, 1000) <= 0) continue;
    std::array<char, 512> buffer;
    const ssize_t n = ::read(err.read.get(), buffer.data(), buffer.size());
    if (n <= 0) break;
    seen.append(buffer.data(), static_cast<std::size_t>(n));
  }
  ASSERT_NE(seen.find("main Down"), std::string::npos) << seen;
  pid_t cli = 0;
  std::ifstream(pidFile) >> cli;
  ASSERT_GT(cli, 1);
  ::kill(cli, SIGKILL);  // the command line our launcher started, mid-download
  err.read.reset();
  out.read.reset();
  int status = 0;
  while (::waitpid(launcher, &status, 0) < 0 && errno == EINTR) {
  }

  const Outcome kept = RunCaptured({TORV2_CLI, "--history", history, "history", "--csv"});
  EXPECT_EQ(kept.exitCode, 0) << kept.err;
  EXPECT_EQ(kept.err, "");
  EXPECT_EQ(std::count(kept.out.begin(), kept.out.end(), '\n'), 3) << kept.out;
  EXPECT_NE(
      kept.out.find(",torv2-upgrader-cli,upgrade,VIRTUAL1,001:002,2.07,2.08,ok,,,UUUUUUUU,2.08,"),
      std::string::npos)
      << kept.out;
  EXPECT_NE(kept.out.find(",torv2-upgrader-cli,upgrade,VIRTUAL1,001:002,2.07,2.08,unfinished,,"
                          "\"the program ended mid-way (killed, or the power went)\",,,0\r\n"),
            std::string::npos)
      << kept.out;
}

// --- Ctrl-C and SIGTERM during an upgrade ---

constexpr std::string_view kNotice = "interrupted: stopping after the transfer under way";
constexpr std::string_view kUpgradeAgain = "the programmer must be upgraded again";

struct InterruptCase {
  const char* name;
  std::vector<std::string> launcher;
  std::vector<std::string> cli;
  // Each signal goes out once stderr shows its text: SIGINT to the whole process group (as
  // Ctrl-C in a terminal does), SIGTERM to the launcher, which passes it on.
  std::vector<std::pair<std::string, int>> signals;
  std::string stdoutIs;
  std::vector<std::string> stderrHas;
  // How soon after the first signal the program must have ended, when that matters.
  std::optional<std::chrono::milliseconds> within = std::nullopt;
  friend void PrintTo(const InterruptCase& c, std::ostream* os) { *os << c.name; }
};

class Interrupt : public ::testing::TestWithParam<InterruptCase> {};

// Trace lines ("   12.345 ms  -> command ...") on stderr after the first line that holds `text`.
int TraceLinesAfter(const std::string& err, std::string_view text) {
  std::size_t at = err.find(text);
  if (at == std::string::npos) return -1;
  int lines = 0;
  while ((at = err.find('\n', at)) != std::string::npos) {
    const std::size_t end = err.find('\n', at + 1);
    const std::string line = err.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    if (line.find(" ms  ") != std::string::npos &&
        (line.find("-> ") != std::string::npos || line.find("<- ") != std::string::npos)) {
      ++lines;
    }
    at = end;
  }
  return lines;
}

TEST_P(Interrupt, StopsAtATransferBoundaryAndExits130) {
  const InterruptCase& c = GetParam();
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), c.launcher.begin(), c.launcher.end());
  args.insert(args.end(), {"--", TORV2_CLI});
  args.insert(args.end(), c.cli.begin(), c.cli.end());

  std::size_t sent = 0;
  std::optional<Clock::time_point> firstSignal;
  const Outcome run = RunCaptured(args, [&](pid_t child, const Outcome& sofar) {
    const std::string& err = sofar.err;
    while (sent < c.signals.size() && err.find(c.signals[sent].first) != std::string::npos) {
      const int signal = c.signals[sent].second;
      ::kill(signal == SIGINT ? -child : child, signal);  // our own child and its group
      if (!firstSignal) firstSignal = Clock::now();
      ++sent;
    }
  });
  const std::string shown = "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
  ASSERT_EQ(sent, c.signals.size()) << shown;
  EXPECT_EQ(run.exitCode, 130) << shown;
  EXPECT_EQ(run.out, c.stdoutIs) << shown;
  EXPECT_NE(run.err.find(kNotice), std::string::npos) << shown;
  for (const std::string& text : c.stderrHas) {
    EXPECT_NE(run.err.find(text), std::string::npos) << "stderr lacks: " << text << shown;
  }
  // What was in flight when the stop came may still end; nothing starts after it.
  if (std::find(c.cli.begin(), c.cli.end(), "--trace") != c.cli.end()) {
    const int after = TraceLinesAfter(run.err, kNotice);
    EXPECT_GE(after, 0) << shown;
    EXPECT_LE(after, 1) << shown;
  }
  const auto ended = Clock::now();
  ASSERT_TRUE(firstSignal.has_value());
  if (c.within) {
    EXPECT_LT(ended - *firstSignal, *c.within) << shown;
  }
}

const std::vector<std::string> kSlowBus{"--bus-time", "--device-delay-us", "5000"};

INSTANTIATE_TEST_SUITE_P(
    Rows, Interrupt,
    ::testing::Values(
        InterruptCase{"CtrlCDuringDownload",
                      kSlowBus,
                      {"--progress", "lines", "--trace", "upgrade"},
                      {{"main Down 11%", SIGINT}},
                      "",
                      {std::string(kUpgradeAgain)}},
        InterruptCase{"SigtermDuringVerify",
                      kSlowBus,
                      {"--progress", "lines", "--trace", "upgrade"},
                      {{"main Verify 11%", SIGTERM}},
                      "",
                      {std::string(kUpgradeAgain)}},
        // The first chunk is never answered: the stop waits for that read's time-out, a second
        // Ctrl-C does not.
        InterruptCase{"SecondCtrlCQuitsAtOnce",
                      {"--fault", "chunk-ack:1:no-answer"},
                      {"--progress", "lines", "upgrade"},
                      {{"main Down 0%", SIGINT}, {std::string(kNotice), SIGINT}},
                      "",
                      {"interrupted again: quitting"},
                      4000ms},
        InterruptCase{"CtrlCDuringStatusCheck",
                      {"--status", "Already."},
                      {"--progress", "lines", "--trace", "upgrade"},
                      {{"$gResetNow#9e", SIGINT}},
                      "",
                      {"interrupted before the upgrade began: the firmware was not touched"}},
        InterruptCase{"AllStopTogether",
                      {"--two", "--bus-time", "--device-delay-us", "5000"},
                      {"--progress", "lines", "--all", "upgrade"},
                      {{"VIRTUAL1 main Down 11%", SIGINT}},
                      "== summary ==\nprogrammer  exit  result\nVIRTUAL1    130   interrupted\n"
                      "VIRTUAL2    130   interrupted\n",
                      {"VIRTUAL1: the upgrade was interrupted: " + std::string(kUpgradeAgain),
                       "VIRTUAL2: the upgrade was interrupted: " + std::string(kUpgradeAgain)}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The run after an interrupted one ---

// However a run ends (stopped at a transfer boundary, quit at once by a second interrupt, killed
// outright), the next one finds the programmer free: the interface a process claimed goes with
// its file, as usbfs frees it, whether or not the process released it. The script runs
// `rounds` interrupted upgrades, each followed at once by a status check, on the same
// programmer; each round's signals go to that round's command line once stderr shows its text.
struct NextRunCase {
  const char* name;
  std::vector<std::string> launcher;
  std::vector<std::pair<std::string, int>> signals;
  int upgradeExit;  // the interrupted run's
  int rounds = 1;
  friend void PrintTo(const NextRunCase& c, std::ostream* os) { *os << c.name; }
};

class NextRun : public ::testing::TestWithParam<NextRunCase> {};

TEST_P(NextRun, FindsTheProgrammerFree) {
  const NextRunCase& c = GetParam();
  const std::string cli = TORV2_CLI;
  const std::string script = "for round in $(seq " + std::to_string(c.rounds) + "); do '" + cli +
                             "' --progress lines upgrade & echo \"cli pid $!\" >&2; wait $!; "
                             "echo \"upgrade $?\"; '" +
                             cli + "' --progress none status; echo \"status $?\"; done";
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), c.launcher.begin(), c.launcher.end());
  args.insert(args.end(), {"--", "/bin/sh", "-c", script});

  // Where the round under way began in stderr, its command line, and the signals sent in it.
  std::size_t from = 0;
  pid_t target = 0;
  std::size_t sent = 0;
  int signalled = 0;
  const Outcome run = RunCaptured(args, [&](pid_t, const Outcome& sofar) {
    const std::string& err = sofar.err;
    for (;;) {
      if (target == 0) {
        const std::size_t at = err.find("cli pid ", from);
        const std::size_t end = at == std::string::npos ? at : err.find('\n', at);
        if (end == std::string::npos) return;
        target = static_cast<pid_t>(std::stol(err.substr(at + 8, end - at - 8)));
        from = end;
        sent = 0;
      }
      if (sent == c.signals.size()) {
        target = 0;  // the next round's line
        continue;
      }
      const std::size_t at = err.find(c.signals[sent].first, from);
      if (at == std::string::npos) return;
      ::kill(target, c.signals[sent].second);  // a child of our launcher's shell
      from = at + c.signals[sent].first.size();
      ++sent;
      ++signalled;
    }
  });
  const std::string shown = "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
  EXPECT_EQ(run.exitCode, 0) << shown;
  EXPECT_EQ(signalled, c.rounds * static_cast<int>(c.signals.size())) << shown;
  std::string expected;
  for (int round = 0; round < c.rounds; ++round) {
    expected +=
        "upgrade " + std::to_string(c.upgradeExit) + "\n" + std::string(kVersions) + "status 0\n";
  }
  EXPECT_EQ(run.out, expected) << shown;
  EXPECT_EQ(run.err.find("device busy"), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NextRun,
    ::testing::Values(
        // The device keeps the download it was in the middle of; the next host's first
        // exchange has to get through it.
        NextRunCase{"AfterCtrlCMidDownload", kSlowBus, {{"main Down 11%", SIGINT}}, 130},
        // The second Ctrl-C ends the program while it waits for the device, its interface
        // still claimed.
        NextRunCase{"AfterASecondCtrlC",
                    {"--fault", "chunk-ack:1:no-answer"},
                    {{"main Down 0%", SIGINT}, {std::string(kNotice), SIGINT}},
                    130},
        NextRunCase{"AfterASecondSigterm",
                    {"--fault", "chunk-ack:1:no-answer"},
                    {{"main Down 0%", SIGTERM}, {std::string(kNotice), SIGTERM}},
                    130},
        // Killed at any moment of a busy download, also in the middle of a request to the
        // device node: several times, since where the kill lands is the machine's choice.
        NextRunCase{"AfterSigkillMidDownload", {}, {{"main Down 11%", SIGKILL}}, 137, 5}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The program reading its own file ---

// The program run by another user from a folder only its owner may enter (a checkout or an
// installation under a home folder of mode 0700). Root opens the file and hands it over, so the
// exec itself does not need the folder: only what the program then does as that user does.
class OwnFile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
    // A folder of each test's own: ctest runs the tests of this fixture side by side.
    home_ = std::filesystem::path(TORV2_TEST_STATE) /
            ("home-0700-" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_ / "project");
    std::filesystem::permissions(home_, std::filesystem::perms::owner_all);
  }
  void TearDown() override {
    if (!home_.empty()) std::filesystem::remove_all(home_);
  }

  // Runs `program` as nobody, with the file opened by root as descriptor 3.
  static Outcome RunAsNobody(const std::filesystem::path& program, std::vector<std::string> args) {
    std::vector<std::string> argv{"/bin/sh", "-c",
                                  "exec /usr/bin/setpriv --reuid=nobody --regid=nogroup "
                                  "--clear-groups /proc/self/fd/3 \"$@\" 3<\"$0\"",
                                  program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCaptured(argv);
  }

  std::filesystem::path home_;
};

// The same file as the build's program (a hard link, not a copy) under the private folder.
TEST_F(OwnFile, AProgramUnderAPrivateFolderReadsItsImages) {
  const std::filesystem::path program = home_ / "project" / "torv2-upgrader-cli";
  std::filesystem::create_hard_link(TORV2_CLI, program);

  const Outcome info = RunAsNobody(program, {"info"});
  EXPECT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("Upgrade Version : 2.08"), std::string::npos) << info.out;
  EXPECT_EQ(info.err, "");

  const Outcome upgrade =
      RunAsNobody(program, {"--virtual", "--progress", "none", "--no-history", "upgrade"});
  EXPECT_EQ(upgrade.exitCode, 0) << upgrade.err;
  EXPECT_EQ(upgrade.out, kSuccessReport);
}

// A program its user may run but not read cannot find its images: each command that needs them
// names the file and why, and stops.
TEST_F(OwnFile, AProgramThatCannotReadItselfSaysWhichFileAndWhy) {
  const std::filesystem::path program = home_ / "project" / "torv2-upgrader-cli";
  std::filesystem::copy_file(TORV2_CLI, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all |
                                            std::filesystem::perms::group_exec |
                                            std::filesystem::perms::others_exec);
  const std::string why =
      "Error!: LoadLibrary Error!\ncannot read " + program.string() + ": Permission denied\n";
  for (const std::vector<std::string>& command : {std::vector<std::string>{"info"},
                                                  {"--virtual", "--no-history", "status"},
                                                  {"--virtual", "--no-history", "upgrade"}}) {
    const Outcome run = RunAsNobody(program, command);
    EXPECT_EQ(run.exitCode, 2) << command.back() << ": " << run.err;
    EXPECT_EQ(run.err, why) << command.back();
  }
}

}  // namespace
