// status and upgrade: the start-up exchange with each programmer, then its versions (status) or
// the whole upgrade, on one programmer or on every one at once (--all).

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/advice.h"
#include "cli/commands.h"
#include "cli/console_host.h"
#include "cli/exit_codes.h"
#include "cli/history_cli.h"
#include "cli/interrupts.h"
#include "cli/programmer_result.h"
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
  std::optional<AttachedProgrammer> programmer;  // the one to open; nullopt: the first one found
  // Without `programmer`: the first one listed, which the transport opens when it can; it gives
  // the target its name, serial number, port and address.
  std::optional<AttachedProgrammer> listedFirst;

  const std::optional<AttachedProgrammer>& described() const {
    return programmer ? programmer : listedFirst;
  }
};

// What keeps the target's attempts in the history; null without one. `name` gets the name the
// history knows the programmer by.
std::unique_ptr<upgrade::AttemptObserver> KeepHistory(const Options& options,
                                                      const upgrade::CarriedImages& images,
                                                      const Target& target, std::string& name) {
  if (!options.history) return nullptr;
  const std::optional<AttachedProgrammer>& programmer = target.described();
  name = options.useVirtual ? target.name : programmer ? IdentityOf(*programmer) : "";
  return options.history->ObserverFor(name, programmer ? programmer->address : "",
                                      upgrade::FormatVersion(*images.version),
                                      options.command == "upgrade");
}

// The start-up exchange with one programmer, then the versions (status) or the whole upgrade.
// With `many`, everything printed is marked with the target's name. The text for stdout (the
// report) goes into `stdoutText` when given, else to stdout at once. With `live`, the progress on
// a terminal is the target's line there.
ProgrammerResult RunOn(const Options& options, const upgrade::CarriedImages& images,
                       const Target& target, bool many, Interrupts& interrupts,
                       std::string* stdoutText, LiveLines* live = nullptr) {
  ProgrammerResult result{.command = options.command,
                          .name = target.name,
                          .programmer = target.described(),
                          .versionCarried = *images.version};
  const auto print = [&](const std::string& text) {
    if (stdoutText) {
      *stdoutText += text;
    } else {
      WriteOut(text);
    }
  };
  std::unique_ptr<link::UsbTransport> transport;
  if (options.useVirtual) {
    transport = std::make_unique<emulator::InProcessTransport>();
  } else {
    transport = CreateUsbTransport(target.programmer ? &*target.programmer : nullptr);
    if (!transport) return result;  // not ready, said on stderr
  }
  std::vector<std::string> order{"main"};
  if (images.sub.loaded()) order.push_back("sub");
  ProgressMode mode = ChooseProgressMode(options.progress);
  if (many && !live && mode == ProgressMode::Tty) mode = ProgressMode::Lines;  // one bar only
  if (options.quiet) mode = ProgressMode::None;
  ProgressPrinter progress(mode, target.name, order, stderr, many);
  if (live && mode == ProgressMode::Tty) progress.ShowOn(*live);
  ConsoleHost host(progress, many ? target.name : std::string());
  host.SendReportTo(stdoutText);
  // How to run it again: on the programmer named, or on the one of several it was.
  const std::string named = many || !options.device.empty() ? target.name : std::string();
  const std::string carried = upgrade::FormatVersion(*images.version);
  host.SetAdvice({.upgrading = options.command == "upgrade",
                  .rerun = RerunCommand(options.command, named, options.useVirtual),
                  .carried = carried});
  host.SetVerbose(options.verbose);
  link::UsbLink link(*transport, options.timeouts);
  std::optional<WireTrace> trace;
  if (options.trace) {
    trace.emplace(many ? target.name : std::string(), std::chrono::steady_clock::now());
    link.SetTrace(&*trace);
  }
  std::string historyName;
  const std::unique_ptr<upgrade::AttemptObserver> history =
      KeepHistory(options, images, target, historyName);
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
  const auto ended = [&](int code) {
    result.exitCode = code;
    if (upgrader.VersionRead()) result.versionCurrent = upgrader.CurrentVersion();
    if (!result.cause && code != kExitOk) result.cause = host.FirstCause();
    return result;
  };

  host.Step(options.useVirtual    ? "opening the virtual programmer"
            : target.name.empty() ? "opening the first programmer found"
                                  : "opening " + target.name);
  const auto start = std::chrono::steady_clock::now();
  const bool found = upgrader.StartUpExchange();
  if (interrupts.happened()) {
    host.ShowMessage(options.command == "upgrade"
                         ? "interrupted before the upgrade began: the firmware was not touched"
                         : "interrupted");
    return ended(kExitInterrupted);
  }
  if (!found) {
    // The cause names the devices that could not be opened; the fix follows it.
    host.ShowMessage(link.failure().what == link::Happened::Busy
                         ? "USB UnConn: another program holds the programmer"
                     : many ? "USB UnConn: the programmer does not answer"
                            : "USB UnConn: no programmer found");
    SayUnchecked(link.failure().unchecked, false);
    return ended(kExitNotReady);
  }
  if (upgrader.VersionRead()) result.versionBefore = upgrader.CurrentVersion();
  // The programmer used is the first one that could be opened: say which could not.
  if (!target.programmer) SayUnchecked(transport->LastOpenOutcome().unchecked, true);
  host.FlushCauses();  // of the status and version queries, which show no message of their own
  // The history may show that this programmer's last upgrade did not finish.
  if (history) {
    if (const auto unfinished = options.history->LastUnfinished(historyName)) {
      host.Say(torv2::history::UnfinishedWarning(historyName, *unfinished));
      result.lastUnfinished = unfinished;
    }
  }
  // --skip-current: a programmer on the carried version already is left as it is.
  if (options.skipCurrent && options.command == "upgrade" && upgrader.VersionRead() &&
      !result.lastUnfinished && !IsNewer(upgrader.CurrentVersion(), *images.version) &&
      !IsNewer(*images.version, upgrader.CurrentVersion())) {
    host.Step("on the carried version already: left as it is (--skip-current)");
    result.skippedCurrent = true;
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return ended(kExitOk);
  }
  if (options.command == "status") {
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const std::string current = upgrader.Report().currentVersion;
    print((many ? "== " + target.name + " ==\n" : std::string()) + upgradeLine + "\n" +
          (current.empty() ? "Current Version : Unknown" : current) + "\n");
    // The programmer answered the open but not its status or not with a version: not ready.
    return ended(upgrader.StatusRead() && upgrader.VersionRead() ? kExitOk : kExitNotReady);
  }

  // Never older firmware over newer unless asked for: a programmer whose version could not be
  // read is upgraded, as ever (its warning said so).
  if (upgrader.VersionRead() && IsNewer(upgrader.CurrentVersion(), *images.version)) {
    const std::string current = upgrade::FormatVersion(upgrader.CurrentVersion());
    if (!options.allowOlder) {
      host.Say(OlderFirmwareRefusal(
          current, carried,
          RerunCommand(options.command, named, options.useVirtual, "--allow-older")));
      return ended(kExitStopped);
    }
    host.Step("writing the carried " + carried + " over " + current + " (--allow-older)");
  }

  host.JobStarting();
  upgrader.StartJob();
  upgrader.WaitForJob();
  host.FlushCauses();
  const upgrade::JobResult job = upgrader.LastJob();
  result.sockets = job.sockets;
  result.cause = job.cause;
  result.mainBytesWritten = job.mainBytesWritten;
  result.subBytesWritten = job.subBytesWritten;
  result.took = job.took;
  if (interrupts.happened()) {
    // The job has ended and closed the link.
    if (job.outcome == upgrade::JobOutcome::Completed) {
      host.ShowResult(upgrader.Report());  // the job shows nothing once it was asked to stop
      host.ShowMessage("interrupted after the upgrade had completed");
    } else {
      host.ShowMessage("the upgrade was interrupted: the programmer must be upgraded again");
    }
    return ended(kExitInterrupted);
  }
  const int code = UpgradeExitCode(job);
  if (code == kExitOk && !options.quiet) host.ShowMessage(WrittenLine(result));
  if (code == kExitReportFailure) {
    // The report is the headline; the cause of a failed image came after it.
    const std::string sockets = job.sockets ? SocketCause(*job.sockets) : std::string();
    host.Say((sockets.empty() ? std::string() : sockets + "\n") +
             ReportFailureFix({.rerun = RerunCommand(options.command, named, options.useVirtual)}));
  }
  return ended(code);
}

// The result of a programmer that was never worked on: none was found, or it was refused.
ProgrammerResult NotWorkedOn(const Options& options, const upgrade::CarriedImages& images,
                             int exitCode) {
  return ProgrammerResult{
      .command = options.command, .versionCarried = images.version, .exitCode = exitCode};
}

// With --json: the one document on stdout.
void PrintJson(const nlohmann::json& document) {
  WriteOut(JsonText(document));
}

// Every target at the same time, each with its own link and job on a thread of its own; then
// the reports and a summary, in the targets' order. The exit code is the worst of them.
std::vector<ProgrammerResult> RunOnAll(const Options& options, const upgrade::CarriedImages& images,
                                       const std::vector<Target>& targets, Interrupts& interrupts) {
  std::vector<ProgrammerResult> results(targets.size());
  std::vector<std::string> texts(targets.size());
  {
    std::vector<std::jthread> runs;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      runs.emplace_back(
          [&, i] { results[i] = RunOn(options, images, targets[i], true, interrupts, &texts[i]); });
    }
  }
  if (!options.json) {
    std::string out;
    for (const std::string& text : texts) out += text;
    WriteOut(out + SummaryText(results));
  }
  return results;
}

int WorstOf(std::span<const ProgrammerResult> results) {
  int worst = kExitOk;
  for (const ProgrammerResult& r : results) worst = WorseExit(worst, r.exitCode);
  return worst;
}

}  // namespace

ProgrammerResult UpgradeOneOfMany(const Options& options, const upgrade::CarriedImages& images,
                                  const AttachedProgrammer& programmer, Interrupts& interrupts,
                                  LiveLines& live) {
  std::string report;  // the watch prints a line of its own instead
  return RunOn(options, images, {IdentityOf(programmer), programmer, std::nullopt}, true,
               interrupts, &report, &live);
}

int RunStatusOrUpgrade(const Options& options, Interrupts& interrupts) {
  if (RefuseDeviceBesideVirtual(options)) return kExitUsage;
  if (options.watch) return RunWatch(options, interrupts);
  const upgrade::CarriedImages images = LoadCarriedImages();
  // Before any programmer: with --json, still one document, for a script to read why.
  const auto early = [&](int code, std::optional<upgrade::Cause> cause) {
    if (options.json) {
      ProgrammerResult result = NotWorkedOn(options, images, code);
      result.cause = std::move(cause);
      const nlohmann::json object = ProgrammerJson(result);
      PrintJson(options.all ? nlohmann::json::array({object}) : object);
    }
    return code;
  };
  if (!images.main.loaded()) {
    if (images.problem.empty()) {
      std::fprintf(stderr, "%s\n", std::string(upgrade::kUnknownMainExe).c_str());
    }
    return early(kExitStopped, std::nullopt);
  }
  if (!images.version) {
    std::fprintf(stderr, "Upgrade Version : Unknown\n");
    return early(kExitStopped, std::nullopt);
  }
  // One programmer: its document, or its report as it comes.
  const auto one = [&](const Target& target) {
    std::string ignored;
    const ProgrammerResult result =
        RunOn(options, images, target, false, interrupts, options.json ? &ignored : nullptr);
    if (options.json) PrintJson(ProgrammerJson(result));
    return result.exitCode;
  };
  const auto all = [&](std::vector<Target> targets, std::vector<ProgrammerResult> refused) {
    std::sort(targets.begin(), targets.end(),
              [](const Target& a, const Target& b) { return a.name < b.name; });
    std::vector<ProgrammerResult> results;
    if (!targets.empty()) results = RunOnAll(options, images, targets, interrupts);
    results.insert(results.end(), refused.begin(), refused.end());
    if (options.json) {
      std::stable_sort(
          results.begin(), results.end(),
          [](const ProgrammerResult& a, const ProgrammerResult& b) { return a.name < b.name; });
      nlohmann::json array = nlohmann::json::array();
      for (const ProgrammerResult& r : results) array.push_back(ProgrammerJson(r));
      PrintJson(array);
    }
    return WorstOf(results);
  };
  if (options.useVirtual) {
    const Target virtualOne{kVirtualProgrammerName, std::nullopt, std::nullopt};
    return options.all ? all({virtualOne}, {}) : one(virtualOne);
  }

  const bool unnamed = !options.all && options.device.empty();
  std::vector<link::UncheckedDevice> unchecked;
  const auto attached = ListAttachedProgrammers(&unchecked);
  if (!attached) return early(kExitNotReady, std::nullopt);
  if (unnamed && (!CanNameProgrammers() || attached->empty())) {
    // The first programmer the transport finds; with none listed, it looks once more and says
    // what it found.
    std::optional<AttachedProgrammer> first;
    if (!attached->empty()) first = attached->front();
    return one({first ? IdentityOf(*first) : std::string(), std::nullopt, first});
  }
  const Selection selection = options.all ? SelectAll(*attached)
                              : unnamed   ? SelectUnnamed(*attached, options.command)
                                          : SelectNamed(*attached, options.device);
  for (const std::string& refusal : selection.refusals) {
    std::fprintf(stderr, "%s\n", refusal.c_str());
  }
  if (unnamed && selection.chosen.empty()) {
    SayUnchecked(unchecked, true);
    return early(kExitUsage, std::nullopt);  // several programmers: nothing sent to any of them
  }
  if (selection.chosen.empty()) {
    std::string fix;
    if (attached->empty()) {
      std::fprintf(stderr, "USB UnConn: no programmer found\n");
      fix = NoProgrammerFix(unchecked, RerunCommand(options.command, options.device, false,
                                                    options.all ? "--all" : ""));
    }
    SayUnchecked(unchecked, true);
    if (!fix.empty()) std::fprintf(stderr, "%s\n", fix.c_str());
    // Every one refused for sharing its name: a script sees each of them.
    if (!options.all || attached->empty()) {
      return early(kExitNotReady, NoProgrammerCause(unchecked));
    }
  }
  // The one attached that could be opened was taken: say which devices could not be looked at.
  if (unnamed) SayUnchecked(unchecked, true);
  std::vector<Target> targets;
  std::vector<ProgrammerResult> refused;
  for (std::size_t i = 0; i < attached->size(); ++i) {
    const AttachedProgrammer& p = (*attached)[i];
    if (std::find(selection.chosen.begin(), selection.chosen.end(), i) != selection.chosen.end()) {
      targets.push_back({IdentityOf(p), p, std::nullopt});
    } else {
      // Shares its name with another: not worked on, but a script sees it.
      ProgrammerResult r = NotWorkedOn(options, images, kExitNotReady);
      r.name = IdentityOf(p);
      r.programmer = p;
      refused.push_back(std::move(r));
    }
  }
  if (!options.all) return one(targets.front());
  return all(std::move(targets), std::move(refused));
}

}  // namespace torv2::cli
