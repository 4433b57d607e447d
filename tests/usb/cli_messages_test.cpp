// What torv2-upgrader-cli says when things go wrong, through real libusb against virtual
// programmers under umockdev: each failure's headline, cause and what to do, the warnings of an
// upgrade that goes on, the refusal to write older firmware over newer, and how much -v and -q
// say.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace {

using torv2::test::Outcome;

// Runs argv with stdout and stderr captured, no shell in between (the runs keep no history).
Outcome RunCaptured(const std::vector<std::string>& args) {
  return torv2::test::RunCaptured(args, nullptr, {});
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
    "Current Version : 2.08\n";

// A programmer whose firmware is newer than the carried 2.08, and one with the same.
const std::vector<std::string> kNewer{"--version", "MainExe - TORV2 Execute V02.09"};
const std::vector<std::string> kSame{"--version", "MainExe - TORV2 Execute V02.08"};
// Short time-outs for rows in which the programmer stays silent.
const std::vector<std::string> kShortTimeOut{"env", "TORV2_TRANSFER_TIMEOUT_MS=100"};

struct MessageCase {
  const char* name;
  std::vector<std::string> launcher;  // the launcher's options: devices and faults
  std::vector<std::string> before;    // what runs the command line (an environment)
  std::vector<std::string> cli;       // torv2-upgrader-cli's arguments after --no-history
  int exitCode;
  std::optional<std::string> stdoutIs;  // the whole of stdout, when given
  std::optional<std::string> stderrIs;  // the whole of stderr, when given
  std::vector<std::string> stderrHas = {};
  std::vector<std::string> stderrLacks = {};
  friend void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }
};

class CliMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(CliMessages, SayWhatHappenedAndWhatToDo) {
  const MessageCase& c = GetParam();
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), c.launcher.begin(), c.launcher.end());
  args.push_back("--");
  args.insert(args.end(), c.before.begin(), c.before.end());
  args.insert(args.end(), {TORV2_CLI, "--no-history"});
  args.insert(args.end(), c.cli.begin(), c.cli.end());
  const Outcome run = RunCaptured(args);
  const std::string shown = "\n--- stdout:\n" + run.out + "--- stderr:\n" + run.err;
  EXPECT_EQ(run.exitCode, c.exitCode) << shown;
  if (c.stdoutIs) {
    EXPECT_EQ(run.out, *c.stdoutIs) << shown;
  }
  if (c.stderrIs) {
    // The closing line of a successful upgrade, its figures apart, is the JSON tests' to hold.
    static const std::regex kWritten(
        "([^ \n]+: )?wrote [0-9,]+ bytes \\(main [0-9,]+ \\+ sub [0-9,]+\\) in [0-9.]+ s\n");
    EXPECT_EQ(std::regex_replace(run.err, kWritten, ""), *c.stderrIs) << shown;
  }
  for (const std::string& text : c.stderrHas) {
    EXPECT_NE(run.err.find(text), std::string::npos) << "stderr lacks: " << text << shown;
  }
  for (const std::string& text : c.stderrLacks) {
    EXPECT_EQ(run.err.find(text), std::string::npos) << "stderr has: " << text << shown;
  }
}

const std::vector<std::string> kUpgrade{"--progress", "none", "upgrade"};
const std::vector<std::string> kStatus{"--progress", "none", "status"};

INSTANTIATE_TEST_SUITE_P(
    Failures, CliMessages,
    ::testing::Values(
        // The headline says it: no cause line repeats it.
        MessageCase{"NoProgrammer",
                    {"--count", "0"},
                    {},
                    kUpgrade,
                    3,
                    "",
                    "USB UnConn: no programmer found\n"
                    "fix: plug the programmer in (`lsusb` lists it once it is attached) and run "
                    "`torv2-upgrader-cli upgrade` again\n"},
        MessageCase{"UnpluggedMidUpgrade",
                    {"--fault", "chunk-ack:3:unplug"},
                    {},
                    kUpgrade,
                    2,
                    "",
                    "ZARN TORV II - Firmware Upgrade Error!\n"
                    "cause: main chunk 3: device gone (transfer: no device); the job stopped at "
                    "sub write command\n"
                    "fix: the upgrade stopped part-way: plug the programmer in again and run "
                    "`torv2-upgrader-cli upgrade` again\n"},
        // A refusal came over a transfer that went through: no "(transfer: ok)".
        MessageCase{"SubBlockRefused",
                    {"--fault", "block-status:1:refuse"},
                    {},
                    kUpgrade,
                    2,
                    "",
                    "ZARN TORV II - Firmware Upgrade Error!\n"
                    "cause: sub block 1: refused (\"Error\")\n"
                    "fix: the upgrade stopped part-way: run `torv2-upgrader-cli upgrade` again; "
                    "if it stops at the same step, unplug the programmer and plug it in again "
                    "first\n"},
        MessageCase{"SizeRecordUnanswered",
                    {"--fault", "size-reply:3:no-answer"},
                    kShortTimeOut,
                    kUpgrade,
                    2,
                    "",
                    "ZARN TORV II - Firmware Upgrade Error!\n"
                    "cause: sub size record: time-out after 100 ms (transfer: timed out)\n"
                    "fix: the upgrade stopped part-way and the programmer stopped answering: "
                    "unplug it, plug it in again and run `torv2-upgrader-cli upgrade` again\n"},
        // The report is the headline; the sockets left behind are named.
        MessageCase{"SocketsNotUpgraded",
                    {"--sockets", "UUXUUU-U"},
                    {},
                    kUpgrade,
                    1,
                    std::nullopt,
                    "cause: sockets 3, 7 were not upgraded (they report \"X\", \"-\")\n"
                    "fix: run `torv2-upgrader-cli upgrade` again; if the same part fails again, "
                    "the programmer needs servicing\n"},
        MessageCase{"OneSocketNotUpgraded",
                    {"--sockets", "UUUUUUUX"},
                    {},
                    kUpgrade,
                    1,
                    std::nullopt,
                    "cause: socket 8 was not upgraded (it reports \"X\")\n"
                    "fix: run `torv2-upgrader-cli upgrade` again; if the same part fails again, "
                    "the programmer needs servicing\n"},
        // A verdict and a socket: what to do is said once.
        MessageCase{"FinalVerdictAndASocket",
                    {"--final-verdict", "NG", "--sockets", "XUUUUUUU"},
                    {},
                    kUpgrade,
                    1,
                    std::nullopt,
                    "cause: final verdict: refused (\"NG\")\n"
                    "cause: socket 1 was not upgraded (it reports \"X\")\n"
                    "fix: run `torv2-upgrader-cli upgrade` again; if the same part fails again, "
                    "the programmer needs servicing\n"},
        MessageCase{"MainReadBackDiffers",
                    {"--fault", "read-chunk:2:corrupt"},
                    {},
                    kUpgrade,
                    1,
                    std::nullopt,
                    "cause: main read-back chunk 2: read-back differs at offset 12288\n"
                    "fix: run `torv2-upgrader-cli upgrade` again; if the same part fails again, "
                    "the programmer needs servicing\n"},
        // For status, a query that fails is the error itself.
        MessageCase{"StatusVersionUnread",
                    {"--fault", "command-ack:2:junk"},
                    {},
                    kStatus,
                    3,
                    "Upgrade Version : 2.08\nCurrent Version : Unknown\n",
                    "cause: version query: junk (\"\\x01\")\n"
                    "fix: unplug the programmer, plug it in again and run `torv2-upgrader-cli "
                    "status` again\n"},
        // One of several: what to do names it.
        MessageCase{"AllOneUnplugged",
                    {"--two", "--fault", "chunk-ack:3:unplug", "--faults-on", "2"},
                    {},
                    {"--progress", "none", "--all", "upgrade"},
                    2,
                    std::nullopt,
                    "VIRTUAL2: ZARN TORV II - Firmware Upgrade Error!\n"
                    "VIRTUAL2: cause: main chunk 3: device gone (transfer: no device); the job "
                    "stopped at sub write command\n"
                    "VIRTUAL2: fix: the upgrade stopped part-way: plug the programmer in again and "
                    "run `torv2-upgrader-cli upgrade --device VIRTUAL2` again\n"},
        MessageCase{"NamedProgrammerUnplugged",
                    {"--two", "--fault", "chunk-ack:3:unplug"},
                    {},
                    {"--device", "1-2", "--progress", "none", "upgrade"},
                    2,
                    "",
                    std::nullopt,
                    {"fix: the upgrade stopped part-way: plug the programmer in again and run "
                     "`torv2-upgrader-cli upgrade --device VIRTUAL2` again\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// An upgrade that goes on after a problem: the program's own message as it stands, the rest
// marked as warnings, and exit code 0.
INSTANTIATE_TEST_SUITE_P(
    Warnings, CliMessages,
    ::testing::Values(
        MessageCase{"StatusQueryNotAcknowledged",
                    {"--fault", "command-ack:1:junk"},
                    {},
                    kUpgrade,
                    0,
                    std::string(kSuccessReport),
                    "Read Current Status Fail!\n"
                    "warning: cause: status query: junk (\"\\x01\")\n"
                    "warning: the programmer's status could not be read; the upgrade goes on\n"},
        MessageCase{"StatusQueryUnanswered",
                    {"--fault", "status-reply:1:no-answer"},
                    kShortTimeOut,
                    kUpgrade,
                    0,
                    std::string(kSuccessReport),
                    "Read Current Status Data Fail!\n"
                    "warning: cause: status query: time-out after 100 ms (transfer: timed out)\n"
                    "warning: the programmer's status could not be read; the upgrade goes on\n"},
        MessageCase{"VersionUnreadBeforeTheUpgrade",
                    {"--fault", "version-reply:1:junk"},
                    kShortTimeOut,
                    kUpgrade,
                    0,
                    std::string(kSuccessReport),
                    "warning: cause: version query: junk, then time-out after 100 ms (transfer: "
                    "timed out)\n"
                    "warning: the programmer's version could not be read, so it is not known "
                    "whether the carried 2.08 is older; the upgrade goes on\n"},
        MessageCase{"VersionUnreadAfterTheUpgrade",
                    {"--fault", "version-reply:2:junk"},
                    kShortTimeOut,
                    kUpgrade,
                    0,
                    std::nullopt,
                    "warning: cause: version query: junk, then time-out after 100 ms (transfer: "
                    "timed out)\n"
                    "warning: the programmer's version could not be read after the upgrade; "
                    "`torv2-upgrader-cli status` shows it\n"},
        // With JSON progress the cause object says it is a warning.
        MessageCase{"WarningAsJson",
                    {"--fault", "command-ack:1:junk"},
                    {},
                    {"--progress", "json", "upgrade"},
                    0,
                    std::string(kSuccessReport),
                    std::nullopt,
                    {"Read Current Status Fail!\n"
                     R"j({"answer":"\"\\x01\"","cause":"status query: junk (\"\\x01\")",)j"
                     R"j("step":"status query","transfer":"ok","warning":true,"what":"junk"})j"
                     "\nwarning: the programmer's status could not be read; the upgrade goes "
                     "on\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Older firmware is never written over newer unless asked for; the same version is written
// again.
INSTANTIATE_TEST_SUITE_P(
    OlderFirmware, CliMessages,
    ::testing::Values(
        MessageCase{"NewerIsRefused",
                    kNewer,
                    {},
                    kUpgrade,
                    2,
                    "",
                    "the programmer's firmware is newer than the one carried: nothing was "
                    "written\n"
                    "cause: the programmer has 2.09, this program carries 2.08\n"
                    "fix: to write 2.08 over 2.09 all the same, run `torv2-upgrader-cli "
                    "upgrade --allow-older`\n"},
        // Refused before a byte of either image went out.
        MessageCase{"NewerIsRefusedBeforeAnyWrite",
                    kNewer,
                    {},
                    {"--progress", "none", "--trace", "upgrade"},
                    2,
                    "",
                    std::nullopt,
                    {"$gVersionRead:Torv2MainExe,#"},
                    {"WriteFirmware", "ReadFirmware"}},
        MessageCase{"NewerWithAllowOlder",
                    kNewer,
                    {},
                    {"--allow-older", "--progress", "none", "upgrade"},
                    0,
                    std::string(kSuccessReport),
                    ""},
        MessageCase{
            "SameVersionIsWrittenAgain", kSame, {}, kUpgrade, 0, std::string(kSuccessReport), ""},
        // status only looks.
        MessageCase{"StatusOfANewerOne",
                    kNewer,
                    {},
                    kStatus,
                    0,
                    "Upgrade Version : 2.08\nCurrent Version : 2.09\n",
                    ""},
        // Each programmer on its own: the newer one is refused, the one whose version could not
        // be read is upgraded with a warning.
        MessageCase{"AllJudgedEachOnItsOwn",
                    {"--two", "--version", "MainExe - TORV2 Execute V02.09", "--fault",
                     "version-reply:1:junk", "--faults-on", "2"},
                    kShortTimeOut,
                    {"--progress", "none", "--all", "upgrade"},
                    2,
                    std::nullopt,
                    std::nullopt,
                    {"VIRTUAL1: the programmer's firmware is newer than the one carried: nothing "
                     "was written\n"
                     "VIRTUAL1: cause: the programmer has 2.09, this program carries 2.08\n"
                     "VIRTUAL1: fix: to write 2.08 over 2.09 all the same, run "
                     "`torv2-upgrader-cli upgrade --device VIRTUAL1 --allow-older`\n",
                     "VIRTUAL2: warning: the programmer's version could not be read, so it is "
                     "not known whether the carried 2.08 is older; the upgrade goes on\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// -q: no progress, nothing but errors, warnings and the report.
INSTANTIATE_TEST_SUITE_P(
    Quiet, CliMessages,
    ::testing::Values(MessageCase{"QuietUpgrade",
                                  {},
                                  {},
                                  {"-q", "--progress", "lines", "upgrade"},
                                  0,
                                  std::string(kSuccessReport),
                                  ""},
                      MessageCase{"QuietKeepsTheError",
                                  {"--fault", "chunk-ack:3:unplug"},
                                  {},
                                  {"-q", "upgrade"},
                                  2,
                                  "",
                                  "ZARN TORV II - Firmware Upgrade Error!\n"
                                  "cause: main chunk 3: device gone (transfer: no device); the "
                                  "job stopped at sub write command\n"
                                  "fix: the upgrade stopped part-way: plug the programmer in "
                                  "again and run `torv2-upgrader-cli upgrade` again\n"},
                      MessageCase{"QuietKeepsTheWarning",
                                  {"--fault", "command-ack:1:junk"},
                                  {},
                                  {"-q", "upgrade"},
                                  0,
                                  std::string(kSuccessReport),
                                  "Read Current Status Fail!\n"
                                  "warning: cause: status query: junk (\"\\x01\")\n"
                                  "warning: the programmer's status could not be read; the "
                                  "upgrade goes on\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// -v: each step in words, in the order the upgrade takes them.
TEST(CliVerbose, SaysEachStep) {
  const Outcome run = RunCaptured({TORV2_LAUNCHER_BIN, "--status", "Already.", "--", TORV2_CLI,
                                   "--no-history", "-v", "--progress", "none", "upgrade"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, kSuccessReport);
  const std::regex steps(
      "opening VIRTUAL1\n"
      "asking its status\n"
      "status: \"Already\\.\"; restarting the programmer and waiting for it\n"
      "asking its version\n"
      "version: 2\\.07\n"
      "writing the main image \\([1-9][0-9]* bytes\\)\n"
      "reading the main image back\n"
      "main image verified\n"
      "writing the sub image \\([1-9][0-9]* bytes\\)\n"
      "reading the sub image back\n"
      "sub image verified\n"
      "sockets: 8 upgraded\n"
      "final verdict: \"OK\"\n"
      "reading the version again\n"
      "asking its version\n"
      "version: 2\\.08\n"
      "wrote 278,944 bytes \\(main 217,772 \\+ sub 61,172\\) in [0-9]+\\.[0-9] s\n");
  EXPECT_TRUE(std::regex_match(run.err, steps)) << run.err;
}

TEST(CliVerbose, NamesTheProgrammerAndWhatWentWrong) {
  const Outcome run =
      RunCaptured({TORV2_LAUNCHER_BIN, "--two", "--sockets", "UUXUUUUU", "--version",
                   "MainExe - TORV2 Execute V02.09", "--", TORV2_CLI, "--no-history", "-v",
                   "--allow-older", "--progress", "none", "--all", "upgrade"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  for (const char* line : {"VIRTUAL1: opening VIRTUAL1\n", "VIRTUAL2: opening VIRTUAL2\n",
                           "VIRTUAL1: status: \"Ready.\"\n", "VIRTUAL1: version: 2.09\n",
                           "VIRTUAL1: writing the carried 2.08 over 2.09 (--allow-older)\n",
                           "VIRTUAL2: sockets: 7 upgraded; not socket 3 (\"X\")\n"}) {
    EXPECT_NE(run.err.find(line), std::string::npos) << "stderr lacks: " << line << run.err;
  }
}

}  // namespace
