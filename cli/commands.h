#pragma once
// The command line's commands, each in a file of its own (info_command.cpp, list_command.cpp,
// upgrade_command.cpp for status and upgrade, udev_rule_command.cpp; `history` is history_cli's),
// and what several of them share. Each gives the program's exit code (cli/exit_codes.h).

#include <string>
#include <vector>

#include "cli/programmer_result.h"
#include "link/usb_link.h"
#include "link/usb_transport.h"
#include "upgrade/embedded_images.h"

namespace torv2::cli {

class HistoryCli;
class Interrupts;
class LiveLines;

// What the command line asked for.
struct Options {
  std::string command;
  bool install = false;   // udev-rule --install
  std::string rulesDir;   // where udev-rule --install writes
  std::string ruleGroup;  // udev-rule --group: a group whose members may open the programmers
  bool useVirtual = false;
  std::string device;
  bool all = false;
  std::string progress = "auto";
  bool trace = false;
  bool verbose = false;      // -v: each step as it happens, in words
  bool quiet = false;        // -q: only errors and the report
  bool json = false;         // --json: one JSON document on stdout instead of the text
  bool allowOlder = false;   // --allow-older: write the carried version over a newer one
  bool watch = false;        // upgrade --watch: every programmer as it comes, until interrupted
  int jobs = 8;              // --jobs: the most programmers upgraded at the same time (--watch)
  bool skipCurrent = false;  // --skip-current: leave those on the carried version as they are
  std::vector<std::string>
      ruleId;                     // udev-rule --id VID:PID: the rule for these, nothing looked for
  HistoryCli* history = nullptr;  // keeps each status check and upgrade attempt
  link::LinkTimeouts timeouts;    // with TORV2_TRANSFER_TIMEOUT_MS (cli/environment.h)
};

// The name of the programmer --virtual works with, as output and --device name it.
inline constexpr char kVirtualProgrammerName[] = "virtual";

// With --virtual, a --device that names another programmer than the virtual one is a usage
// error: true, after saying so on stderr.
bool RefuseDeviceBesideVirtual(const Options& options);

int RunInfo(const Options& options);
int RunList(const Options& options);
// status and upgrade; Ctrl-C and SIGTERM stop the work at the next transfer boundary.
int RunStatusOrUpgrade(const Options& options, Interrupts& interrupts);
// upgrade --watch (watch_command.cpp): waits for programmers and upgrades each as it comes.
int RunWatch(const Options& options, Interrupts& interrupts);
// One programmer's check and upgrade as --all runs each: its messages marked with its name, its
// report left out of stdout. On a terminal its progress is its line among `live`.
ProgrammerResult UpgradeOneOfMany(const Options& options, const upgrade::CarriedImages& images,
                                  const AttachedProgrammer& programmer, Interrupts& interrupts,
                                  LiveLines& live);
#ifndef _WIN32
int RunUdevRule(const Options& options);
#endif

// The images in the executable, loaded as the window loads them; says on stderr why they cannot
// be used.
upgrade::CarriedImages LoadCarriedImages();

// Says which devices could not be opened to see whether they are programmers (with `named`), and
// the fix for those refused for lack of permission.
void SayUnchecked(const std::vector<link::UncheckedDevice>& unchecked, bool named);

}  // namespace torv2::cli
