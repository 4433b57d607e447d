// torv2-upgrader-cli: the upgrader without a window, for scripts and production lines.
//
//   info      the carried images
//   status    the start-up exchange with the programmer, then both versions
//   upgrade   the start-up exchange, then the whole upgrade; prints the report
//   list      the attached programmers
//   udev-rule the udev rule that lets a user without root open the programmer (Linux)
//   history   the status checks and upgrade attempts kept so far
//
// --device NAME works on one programmer; --all on every attached one at the same time.
//
// Exit codes: 0 success; 1 the upgrade completed but the report shows a failure; 2 the upgrade
// failed on its way (or the carried images cannot be used); 3 no programmer found or not ready
// (for status: its status or version could not be read); 64 usage error; 130 interrupted (Ctrl-C,
// SIGTERM): the job stopped at the next transfer boundary, or at once on a second interrupt.

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_host.h"
#include "cli/exit_codes.h"
#include "cli/history_cli.h"
#include "cli/interrupts.h"
#include "cli/progress_printer.h"
#include "cli/usb_access.h"
#include "cli/wire_trace.h"
#ifndef _WIN32
#include "cli/udev_rule.h"
#endif
#include "emulator/inprocess_transport.h"
#include "link/usb_link.h"
#include "program_version.h"
#include "upgrade/embedded_images.h"
#include "upgrade/upgrader.h"
#include "upgrade/version_text.h"

namespace {

using namespace torv2;

using cli::kExitJobFailed;
using cli::kExitNoProgrammer;
using cli::kExitOk;
using cli::kExitReportFailure;
using cli::kExitUsage;

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
  cli::HistoryCli* history = nullptr;  // keeps each status check and upgrade attempt
};

void PrintMessage(std::string_view text, std::string_view caption) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
}

// The images in the executable, loaded as the window loads them; says why when the program
// cannot read its own file.
upgrade::CarriedImages LoadCarriedImages() {
  upgrade::CarriedImages images =
      upgrade::LoadCarriedImages(upgrade::RunningExecutable(), PrintMessage);
  if (!images.problem.empty()) std::fprintf(stderr, "%s\n", images.problem.c_str());
  return images;
}

int Info() {
  // The program's own version, apart from the version of the firmware it carries.
  std::printf("Program Version : %s\n", TORV2_PROGRAM_VERSION);
  const upgrade::CarriedImages images = LoadCarriedImages();
  if (!images.main.loaded()) {
    std::printf("Main image : Unknown - MainExe\n");
    return kExitJobFailed;
  }
  std::printf("Main image : %s (%u bytes)\n", images.title.c_str(), images.main.size);
  if (images.sub.loaded()) std::printf("Sub image  : %u bytes\n", images.sub.size);
  if (!images.version) {
    std::printf("Upgrade Version : Unknown\n");
    return kExitJobFailed;
  }
  std::printf("%s\n", upgrade::UpgradeVersionLine(*images.version).c_str());
  return kExitOk;
}

// Says which devices could not be opened to see whether they are programmers, and the fix for
// those refused for lack of permission.
void SayUnchecked(const std::vector<link::UncheckedDevice>& unchecked, bool named) {
#ifndef _WIN32
  const std::string text =
      (named ? cli::UncheckedLine(unchecked) : std::string()) + cli::PermissionFix(unchecked);
  std::fwrite(text.data(), 1, text.size(), stderr);
#else
  (void)unchecked;
  (void)named;
#endif
}

int List(const Options& options) {
  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = cli::ListAttachedProgrammers(&unchecked);
  if (!attached) return kExitNoProgrammer;
  if (attached->empty()) {
    std::fprintf(stderr, "USB UnConn: no programmer found\n");
    SayUnchecked(unchecked, true);
    return kExitNoProgrammer;
  }
  SayUnchecked(unchecked, true);
  std::vector<std::size_t> shown(attached->size());
  for (std::size_t i = 0; i < shown.size(); ++i) shown[i] = i;
  if (!options.device.empty()) {
    const cli::Selection named = cli::SelectNamed(*attached, options.device);
    for (const std::string& refusal : named.refusals) std::fprintf(stderr, "%s\n", refusal.c_str());
    shown = named.chosen;
  }
  for (const std::size_t i : shown) {
    std::printf("%s\n", cli::ListLine((*attached)[i], *attached).c_str());
  }
  return shown.empty() ? kExitNoProgrammer : kExitOk;
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

cli::ProgressMode ChooseProgressMode(const std::string& name) {
  if (name == "tty") return cli::ProgressMode::Tty;
  if (name == "lines") return cli::ProgressMode::Lines;
  if (name == "json") return cli::ProgressMode::Json;
  if (name == "none") return cli::ProgressMode::None;
  return StderrIsTerminal() ? cli::ProgressMode::Tty : cli::ProgressMode::Lines;
}

// A programmer to work on, and how output names it.
struct Target {
  std::string name;
  std::optional<cli::AttachedProgrammer> programmer;  // nullopt: the first one found
};

// What keeps the target's attempts in the history; null without one.
std::unique_ptr<upgrade::AttemptObserver> KeepHistory(const Options& options,
                                                      const upgrade::CarriedImages& images,
                                                      const Target& target) {
  if (!options.history) return nullptr;
  std::optional<cli::AttachedProgrammer> programmer = target.programmer;
  if (!programmer && !options.useVirtual) {  // the first one found: the one the transport opens
    const auto attached = cli::ListAttachedProgrammers();
    if (attached && !attached->empty()) programmer = attached->front();
  }
  return options.history->ObserverFor(options.useVirtual ? target.name
                                      : programmer       ? cli::IdentityOf(*programmer)
                                                         : "",
                                      programmer ? programmer->address : "",
                                      upgrade::FormatVersion(*images.version),
                                      options.command == "upgrade");
}

// The link's time-outs. TORV2_TRANSFER_TIMEOUT_MS shortens the 6 s bound of each bulk transfer
// for tests that run the whole program against a device that stays silent (1 to 6000).
link::LinkTimeouts LinkTimeoutsFromEnvironment() {
  link::LinkTimeouts timeouts;
  if (const char* text = std::getenv("TORV2_TRANSFER_TIMEOUT_MS")) {
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && ms >= 1 && ms <= timeouts.perTransfer.count()) {
      timeouts.perTransfer = std::chrono::milliseconds(ms);
    }
  }
  return timeouts;
}

// The start-up exchange with one programmer, then the versions (status) or the whole upgrade;
// gives the exit code. With `many`, everything printed is marked with the target's name.
int RunOn(const Options& options, const upgrade::CarriedImages& images, const Target& target,
          bool many, cli::Interrupts& interrupts) {
  std::unique_ptr<link::UsbTransport> transport;
  if (options.useVirtual) {
    transport = std::make_unique<emulator::InProcessTransport>();
  } else {
    transport = cli::CreateUsbTransport(target.programmer ? &*target.programmer : nullptr);
    if (!transport) return kExitNoProgrammer;
  }
  std::vector<std::string> order{"main"};
  if (images.sub.loaded()) order.push_back("sub");
  cli::ProgressMode mode = ChooseProgressMode(options.progress);
  if (many && mode == cli::ProgressMode::Tty) mode = cli::ProgressMode::Lines;  // one bar only
  cli::ProgressPrinter progress(mode, target.name, order, stderr, many);
  cli::ConsoleHost host(progress, many ? target.name : std::string());
  link::UsbLink link(*transport, LinkTimeoutsFromEnvironment());
  std::optional<cli::WireTrace> trace;
  if (options.trace) {
    trace.emplace(many ? target.name : std::string(), std::chrono::steady_clock::now());
    link.SetTrace(&*trace);
  }
  const std::unique_ptr<upgrade::AttemptObserver> history = KeepHistory(options, images, target);
  upgrade::Upgrader upgrader(link, host);
  upgrader.SetAttemptObserver(history.get());
  upgrader.SetImages(images.main, images.sub);
  const std::string upgradeLine = upgrade::UpgradeVersionLine(*images.version);
  upgrader.SetUpgradeVersionLine(upgradeLine);
  // Destroyed first: no stop runs once the upgrader and the printer are gone.
  const auto stop = interrupts.OnFirst([&] {
    progress.EndLine();
    upgrader.CancelJob();
  });

  const bool found = upgrader.StartUpExchange();
  if (interrupts.happened()) {
    host.ShowMessage(options.command == "upgrade"
                         ? "interrupted before the upgrade began: the firmware was not touched"
                         : "interrupted");
    return cli::kExitInterrupted;
  }
  if (!found) {
    // The cause names the devices that could not be opened; the fix follows it.
    host.ShowMessage(many ? "USB UnConn: the programmer does not answer"
                          : "USB UnConn: no programmer found");
    SayUnchecked(link.failure().unchecked, false);
    return kExitNoProgrammer;
  }
  // The programmer used is the first one that could be opened: say which could not.
  if (!many) SayUnchecked(transport->LastOpenOutcome().unchecked, true);
  host.FlushCauses();  // of the status and version queries, which show no message of their own
  if (options.command == "status") {
    const std::string current = upgrader.Report().currentVersion;
    const std::string text = (many ? "== " + target.name + " ==\n" : std::string()) + upgradeLine +
                             "\n" + (current.empty() ? "Current Version : Unknown" : current) +
                             "\n";
    cli::WriteOut(text);
    // The programmer answered the open but not its status or not with a version: not ready.
    return upgrader.StatusRead() && upgrader.VersionRead() ? kExitOk : kExitNoProgrammer;
  }

  upgrader.StartJob();
  upgrader.WaitForJob();
  host.FlushCauses();
  const upgrade::JobResult job = upgrader.LastJob();
  if (interrupts.happened()) {
    // The job has ended and closed the link.
    if (job.outcome == upgrade::JobOutcome::Completed) {
      host.ShowResult(upgrader.Report());  // the job shows nothing once it was asked to stop
      host.ShowMessage("interrupted after the upgrade had completed");
    } else {
      host.ShowMessage("the upgrade was interrupted: the programmer must be upgraded again");
    }
    return cli::kExitInterrupted;
  }
  return cli::UpgradeExitCode(job);
}

const char* ExitMeaning(int code) {
  switch (code) {
    case kExitOk:
      return "ok";
    case kExitReportFailure:
      return "the report shows a failure";
    case kExitJobFailed:
      return "stopped on an error";
    case cli::kExitInterrupted:
      return "interrupted";
    default:
      return "not found or not ready";
  }
}

// Every target at the same time, each with its own link and job on a thread of its own; then a
// summary, one line per target. The exit code is the worst of them.
int RunOnAll(const Options& options, const upgrade::CarriedImages& images,
             const std::vector<Target>& targets, cli::Interrupts& interrupts) {
  std::vector<int> codes(targets.size(), kExitNoProgrammer);
  {
    std::vector<std::jthread> runs;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      runs.emplace_back(
          [&, i] { codes[i] = RunOn(options, images, targets[i], true, interrupts); });
    }
  }
  std::string summary = "== summary ==\n";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    summary +=
        targets[i].name + "  " + std::to_string(codes[i]) + "  " + ExitMeaning(codes[i]) + "\n";
  }
  cli::WriteOut(summary);
  return *std::max_element(codes.begin(), codes.end());
}

int StatusOrUpgrade(const Options& options, cli::Interrupts& interrupts) {
  const upgrade::CarriedImages images = LoadCarriedImages();
  if (!images.main.loaded()) {
    if (images.problem.empty()) std::fprintf(stderr, "Unknown - MainExe\n");
    return kExitJobFailed;
  }
  if (!images.version) {
    std::fprintf(stderr, "Upgrade Version : Unknown\n");
    return kExitJobFailed;
  }
  if (options.useVirtual) {
    const Target virtualOne{"virtual", std::nullopt};
    return options.all ? RunOnAll(options, images, {virtualOne}, interrupts)
                       : RunOn(options, images, virtualOne, false, interrupts);
  }
  if (!options.all && options.device.empty()) {
    return RunOn(options, images, {"usb", std::nullopt}, false, interrupts);
  }

  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = cli::ListAttachedProgrammers(&unchecked);
  if (!attached) return kExitNoProgrammer;
  const cli::Selection selection =
      options.all ? cli::SelectAll(*attached) : cli::SelectNamed(*attached, options.device);
  for (const std::string& refusal : selection.refusals) {
    std::fprintf(stderr, "%s\n", refusal.c_str());
  }
  if (selection.chosen.empty()) {
    if (attached->empty()) std::fprintf(stderr, "USB UnConn: no programmer found\n");
    SayUnchecked(unchecked, true);
    return kExitNoProgrammer;
  }
  std::vector<Target> targets;
  for (const std::size_t i : selection.chosen) {
    targets.push_back({cli::IdentityOf((*attached)[i]), (*attached)[i]});
  }
  if (!options.all) return RunOn(options, images, targets.front(), false, interrupts);
  const int worst = RunOnAll(options, images, targets, interrupts);
  return selection.refusals.empty() ? worst : std::max(worst, kExitNoProgrammer);
}

#ifndef _WIN32
// Prints the udev rule for the attached programmers, or with --install writes it and has udev
// read it. Finding a programmer means opening it: before the rule is in place only root can.
int UdevRuleCommand(const Options& options) {
  if (!options.ruleGroup.empty()) {
    if (const std::string error = cli::CheckRuleGroup(options.ruleGroup); !error.empty()) {
      std::fprintf(stderr, "udev-rule --group: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = cli::ListAttachedProgrammers(&unchecked);
  if (!attached) return kExitNoProgrammer;
  std::vector<cli::UsbId> ids;
  for (const cli::AttachedProgrammer& p : *attached) ids.push_back({p.vendorId, p.productId});
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  if (ids.empty()) {
    std::fprintf(stderr,
                 "no programmer found: plug it in and run this as root (sudo), which can open "
                 "it to recognise it by its interface GUID\n");
    SayUnchecked(unchecked, true);
    return kExitNoProgrammer;
  }
  const std::string rule = cli::UdevRule(ids, options.ruleGroup);
  const std::string file = options.rulesDir + "/" + cli::kUdevRuleFile;
  if (!options.install) {
    std::fwrite(rule.data(), 1, rule.size(), stdout);
    std::fprintf(stderr,
                 "save it as %s (as root; the name must sort before 73-seat-late.rules), then run "
                 "`udevadm control --reload-rules && udevadm trigger --subsystem-match=usb` and "
                 "plug the programmer in again; or let this program do all of it: sudo "
                 "torv2-upgrader-cli udev-rule --install\n",
                 file.c_str());
    return kExitOk;
  }
  if (const std::string error = cli::WriteUdevRule(options.rulesDir, rule); !error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kExitJobFailed;
  }
  std::fprintf(stderr, "wrote %s\n", file.c_str());
  if (const std::string error = cli::ReloadUdev(); !error.empty()) {
    std::fprintf(stderr,
                 "udev was not told (%s): the rule takes effect when udev reads its rules again; "
                 "run `udevadm control --reload-rules && udevadm trigger --subsystem-match=usb` "
                 "as root, or restart\n",
                 error.c_str());
    return kExitOk;
  }
  std::fprintf(stderr, "udev has read it: plug the programmer in again if it was plugged in\n");
  return kExitOk;
}
#endif

// What --help shows after the options and commands (and the man page made from it).
constexpr const char* kHelpFooter = R"(Exit codes:
  0   success: both images verified, the device's verdict "OK", all eight sockets upgraded
  1   the upgrade completed but the report shows a failure
  2   the upgrade stopped on an error (or the carried images cannot be used)
  3   no programmer found or not ready
  64  usage error
  With --all, the exit code is the worst of the programmers'.

Messages and progress go to stderr, the report to stdout.

Examples:
  Upgrade the first programmer found:
    torv2-upgrader-cli upgrade
  List the attached programmers, then upgrade one of them by its name (or port):
    torv2-upgrader-cli list
    torv2-upgrader-cli --device VIRTUAL1 upgrade
  Upgrade every attached programmer at the same time, with progress as lines for a log:
    torv2-upgrader-cli --all --progress lines upgrade
  Then see each programmer's version and how its last upgrade ended:
    torv2-upgrader-cli history --summary)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Upgrades the firmware of a ZARN TORV II multi-socket device programmer over USB.",
               "torv2-upgrader-cli"};
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.set_version_flag("--version", "torv2-upgrader-cli " TORV2_PROGRAM_VERSION);
  app.footer(kHelpFooter);
  app.require_subcommand(1);
  Options options;
  app.add_flag("--virtual", options.useVirtual,
               "Use the built-in virtual programmer in this process (no USB)");
  auto* device = app.add_option(
      "--device", options.device,
      "The programmer with this name, port or BUS:ADDR (see list). A BUS:ADDR names it only as "
      "it is now: the address changes when the programmer restarts, so it is followed by its "
      "serial number and port from then on");
  app.add_flag("--all", options.all,
               "Every attached programmer at the same time (status, upgrade); the exit code is "
               "the worst of them")
      ->excludes(device);
  app.add_option("--progress", options.progress,
                 "How progress shows on stderr: a bar (tty), a line per step of ten percent "
                 "(lines), JSON objects (json) or not at all (none); auto: tty on a terminal, "
                 "else lines")
      ->check(CLI::IsMember({"auto", "tty", "lines", "json", "none"}));
  app.add_flag("--trace", options.trace,
               "Show every frame, reply, record and acknowledgement on stderr");
  app.add_subcommand("info",
                     "Show the program's version, the carried images and their firmware version");
  app.add_subcommand("status", "Check the programmer and show both versions");
  app.add_subcommand("upgrade", "Write both images, verify them and show the report");
  app.add_subcommand("list", "List the attached programmers");
#ifndef _WIN32
  auto* udevRule = app.add_subcommand(
      "udev-rule",
      "Print the udev rule that lets a user without root open the attached programmers (run as "
      "root to find them)");
  options.rulesDir = cli::kUdevRulesDir;
  udevRule->add_flag("--install", options.install,
                     "Write it to the rules directory and have udev read it again");
  udevRule->add_option("--rules-dir", options.rulesDir, "Where --install writes the rule")
      ->capture_default_str();
  udevRule->add_option("--group", options.ruleGroup,
                       "Let the members of GROUP open the programmers too (users without a "
                       "seat, e.g. over SSH)");
#endif
  cli::HistoryCli history;
  history.AddTo(app);
  options.history = &history;
  for (CLI::App* command : app.get_subcommands({})) command->group("Commands");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  options.command = app.get_subcommands().front()->get_name();

  if (options.command == "info") return Info();
  if (options.command == "list") return List(options);
#ifndef _WIN32
  if (options.command == "udev-rule") return UdevRuleCommand(options);
#endif
  if (options.command == "history") return history.Show(options.device);
  // Ctrl-C and SIGTERM stop the work at the next transfer boundary from here on.
  cli::Interrupts interrupts;
  return StatusOrUpgrade(options, interrupts);
}
