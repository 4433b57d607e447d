// status and upgrade: the start-up exchange with each programmer, then its versions (status) or
// the whole upgrade, on one programmer or on every one at once (--all).

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/console_host.h"
#include "cli/exit_codes.h"
#include "cli/history_cli.h"
#include "cli/interrupts.h"
#include "cli/progress_printer.h"
#include "cli/usb_access.h"
#include "cli/wire_trace.h"
#include "emulator/inprocess_transport.h"
#include "link/usb_link.h"
#include "upgrade/upgrader.h"
#include "upgrade/version_text.h"

namespace torv2::cli {
namespace {

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

ProgressMode ChooseProgressMode(const std::string& name) {
  if (name == "tty") return ProgressMode::Tty;
  if (name == "lines") return ProgressMode::Lines;
  if (name == "json") return ProgressMode::Json;
  if (name == "none") return ProgressMode::None;
  return StderrIsTerminal() ? ProgressMode::Tty : ProgressMode::Lines;
}

// A programmer to work on, and how output names it.
struct Target {
  std::string name;
  std::optional<AttachedProgrammer> programmer;  // nullopt: the first one found
};

// What keeps the target's attempts in the history; null without one.
std::unique_ptr<upgrade::AttemptObserver> KeepHistory(const Options& options,
                                                      const upgrade::CarriedImages& images,
                                                      const Target& target) {
  if (!options.history) return nullptr;
  std::optional<AttachedProgrammer> programmer = target.programmer;
  if (!programmer && !options.useVirtual) {  // the first one found: the one the transport opens
    const auto attached = ListAttachedProgrammers();
    if (attached && !attached->empty()) programmer = attached->front();
  }
  return options.history->ObserverFor(options.useVirtual ? target.name
                                      : programmer       ? IdentityOf(*programmer)
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
          bool many, Interrupts& interrupts) {
  std::unique_ptr<link::UsbTransport> transport;
  if (options.useVirtual) {
    transport = std::make_unique<emulator::InProcessTransport>();
  } else {
    transport = CreateUsbTransport(target.programmer ? &*target.programmer : nullptr);
    if (!transport) return kExitNotReady;
  }
  std::vector<std::string> order{"main"};
  if (images.sub.loaded()) order.push_back("sub");
  ProgressMode mode = ChooseProgressMode(options.progress);
  if (many && mode == ProgressMode::Tty) mode = ProgressMode::Lines;  // one bar only
  ProgressPrinter progress(mode, target.name, order, stderr, many);
  ConsoleHost host(progress, many ? target.name : std::string());
  link::UsbLink link(*transport, LinkTimeoutsFromEnvironment());
  std::optional<WireTrace> trace;
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
    return kExitInterrupted;
  }
  if (!found) {
    // The cause names the devices that could not be opened; the fix follows it.
    host.ShowMessage(many ? "USB UnConn: the programmer does not answer"
                          : "USB UnConn: no programmer found");
    SayUnchecked(link.failure().unchecked, false);
    return kExitNotReady;
  }
  // The programmer used is the first one that could be opened: say which could not.
  if (!many) SayUnchecked(transport->LastOpenOutcome().unchecked, true);
  host.FlushCauses();  // of the status and version queries, which show no message of their own
  if (options.command == "status") {
    const std::string current = upgrader.Report().currentVersion;
    const std::string text = (many ? "== " + target.name + " ==\n" : std::string()) + upgradeLine +
                             "\n" + (current.empty() ? "Current Version : Unknown" : current) +
                             "\n";
    WriteOut(text);
    // The programmer answered the open but not its status or not with a version: not ready.
    return upgrader.StatusRead() && upgrader.VersionRead() ? kExitOk : kExitNotReady;
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
    return kExitInterrupted;
  }
  return UpgradeExitCode(job);
}

// Every target at the same time, each with its own link and job on a thread of its own; then a
// summary, one line per target. The exit code is the worst of them.
int RunOnAll(const Options& options, const upgrade::CarriedImages& images,
             const std::vector<Target>& targets, Interrupts& interrupts) {
  std::vector<int> codes(targets.size(), kExitNotReady);
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
        targets[i].name + "  " + std::to_string(codes[i]) + "  " + ExitLabel(codes[i]) + "\n";
  }
  WriteOut(summary);
  int worst = kExitOk;
  for (const int code : codes) worst = WorseExit(worst, code);
  return worst;
}

}  // namespace

int RunStatusOrUpgrade(const Options& options, Interrupts& interrupts) {
  if (RefuseDeviceBesideVirtual(options)) return kExitUsage;
  const upgrade::CarriedImages images = LoadCarriedImages();
  if (!images.main.loaded()) {
    if (images.problem.empty()) {
      std::fprintf(stderr, "%s\n", std::string(upgrade::kUnknownMainExe).c_str());
    }
    return kExitStopped;
  }
  if (!images.version) {
    std::fprintf(stderr, "Upgrade Version : Unknown\n");
    return kExitStopped;
  }
  if (options.useVirtual) {
    const Target virtualOne{kVirtualProgrammerName, std::nullopt};
    return options.all ? RunOnAll(options, images, {virtualOne}, interrupts)
                       : RunOn(options, images, virtualOne, false, interrupts);
  }
  if (!options.all && options.device.empty()) {
    return RunOn(options, images, {"usb", std::nullopt}, false, interrupts);
  }

  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = ListAttachedProgrammers(&unchecked);
  if (!attached) return kExitNotReady;
  const Selection selection =
      options.all ? SelectAll(*attached) : SelectNamed(*attached, options.device);
  for (const std::string& refusal : selection.refusals) {
    std::fprintf(stderr, "%s\n", refusal.c_str());
  }
  if (selection.chosen.empty()) {
    if (attached->empty()) std::fprintf(stderr, "USB UnConn: no programmer found\n");
    SayUnchecked(unchecked, true);
    return kExitNotReady;
  }
  std::vector<Target> targets;
  for (const std::size_t i : selection.chosen) {
    targets.push_back({IdentityOf((*attached)[i]), (*attached)[i]});
  }
  if (!options.all) return RunOn(options, images, targets.front(), false, interrupts);
  const int worst = RunOnAll(options, images, targets, interrupts);
  return selection.refusals.empty() ? worst : WorseExit(worst, kExitNotReady);
}

}  // namespace torv2::cli
