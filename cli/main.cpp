// torv2-upgrader-cli: the upgrader without a window, for scripts and production lines.
//
//   info      the carried images
//   status    the start-up exchange with the programmer, then both versions
//   upgrade   the start-up exchange, then the whole upgrade; prints the report
//   list      the attached programmers
//
// --device NAME works on one programmer; --all on every attached one at the same time.
//
// Exit codes: 0 success; 1 the upgrade completed but the report shows a failure; 2 the upgrade
// failed on its way (or the carried images cannot be used); 3 no programmer found or not ready;
// 64 usage error.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_host.h"
#include "cli/progress_printer.h"
#include "cli/usb_access.h"
#include "cli/wire_trace.h"
#include "emulator/inprocess_transport.h"
#include "link/usb_link.h"
#include "program_version.h"
#include "upgrade/embedded_images.h"
#include "upgrade/upgrader.h"
#include "upgrade/version_text.h"

namespace {

using namespace torv2;

constexpr int kExitOk = 0;
constexpr int kExitReportFailure = 1;
constexpr int kExitJobFailed = 2;
constexpr int kExitNoProgrammer = 3;
constexpr int kExitUsage = 64;

struct Options {
  std::string command;
  bool useVirtual = false;
  std::string device;
  bool all = false;
  std::string progress = "auto";
  bool trace = false;
};

void PrintMessage(std::string_view text, std::string_view caption) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
}

struct CarriedImages {
  upgrade::FirmwareImage main;
  upgrade::FirmwareImage sub;
  std::string title;
  std::optional<double> version;
};

// The images in the executable, loaded in the window's order: the main image and its version
// first; the sub image only when that version is good.
CarriedImages LoadCarriedImages() {
  CarriedImages images;
  const std::string path = upgrade::ExecutablePath();
  upgrade::VersionText versionText{};
  images.title = upgrade::LoadMainImage(path, images.main, versionText, PrintMessage);
  if (!images.main.loaded()) return images;
  images.version = upgrade::AcceptCarriedVersion(upgrade::VersionTextView(versionText));
  if (images.version) upgrade::LoadSubImage(path, images.sub, PrintMessage);
  return images;
}

int Info() {
  // The program's own version, apart from the version of the firmware it carries.
  std::printf("Program Version : %s\n", TORV2_PROGRAM_VERSION);
  const CarriedImages images = LoadCarriedImages();
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

int List(const Options& options) {
  const auto attached = cli::ListAttachedProgrammers();
  if (!attached) return kExitNoProgrammer;
  if (attached->empty()) {
    std::fprintf(stderr, "USB UnConn: no programmer found\n");
    return kExitNoProgrammer;
  }
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

cli::ProgressMode ChooseProgressMode(const std::string& name) {
  if (name == "tty") return cli::ProgressMode::Tty;
  if (name == "lines") return cli::ProgressMode::Lines;
  if (name == "json") return cli::ProgressMode::Json;
  if (name == "none") return cli::ProgressMode::None;
  return isatty(STDERR_FILENO) ? cli::ProgressMode::Tty : cli::ProgressMode::Lines;
}

// A programmer to work on, and how output names it.
struct Target {
  std::string name;
  std::optional<cli::AttachedProgrammer> programmer;  // nullopt: the first one found
};

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
int RunOn(const Options& options, const CarriedImages& images, const Target& target, bool many) {
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
  upgrade::Upgrader upgrader(link, host);
  upgrader.m_mainImage = images.main;
  upgrader.m_subImage = images.sub;
  const std::string upgradeLine = upgrade::UpgradeVersionLine(*images.version);
  upgrader.SetUpgradeVersionLine(upgradeLine);

  if (!upgrader.StartUpExchange()) {
    host.ShowMessage(many ? "USB UnConn: the programmer does not answer"
                          : "USB UnConn: no programmer found");
    return kExitNoProgrammer;
  }
  if (options.command == "status") {
    const std::string current = upgrader.Report().m_strCurrentVersion;
    const std::string text = (many ? "== " + target.name + " ==\n" : std::string()) + upgradeLine +
                             "\n" + (current.empty() ? "Current Version : Unknown" : current) +
                             "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);  // in one piece
    std::fflush(stdout);
    return kExitOk;
  }

  upgrader.OnBnClickedUpdate();
  upgrader.WaitForJob();
  const upgrade::JobResult job = upgrader.LastJob();
  switch (job.outcome) {
    case upgrade::JobOutcome::Completed: {
      const bool allSockets = job.sockets && std::all_of(job.sockets->begin(), job.sockets->end(),
                                                         [](std::uint8_t c) { return c == 'U'; });
      return job.mainOk && job.subOk && allSockets ? kExitOk : kExitReportFailure;
    }
    case upgrade::JobOutcome::Refused:
      return kExitNoProgrammer;
    case upgrade::JobOutcome::Failed:
    case upgrade::JobOutcome::NotRun:
      break;
  }
  return job.linkNotReady ? kExitNoProgrammer : kExitJobFailed;
}

const char* ExitMeaning(int code) {
  switch (code) {
    case kExitOk:
      return "ok";
    case kExitReportFailure:
      return "the report shows a failure";
    case kExitJobFailed:
      return "stopped on an error";
    default:
      return "not found or not ready";
  }
}

// Every target at the same time, each with its own link and job on a thread of its own; then a
// summary, one line per target. The exit code is the worst of them.
int RunOnAll(const Options& options, const CarriedImages& images,
             const std::vector<Target>& targets) {
  std::vector<int> codes(targets.size(), kExitNoProgrammer);
  {
    std::vector<std::jthread> runs;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      runs.emplace_back([&, i] { codes[i] = RunOn(options, images, targets[i], true); });
    }
  }
  std::string summary = "== summary ==\n";
  for (std::size_t i = 0; i < targets.size(); ++i) {
    summary +=
        targets[i].name + "  " + std::to_string(codes[i]) + "  " + ExitMeaning(codes[i]) + "\n";
  }
  std::fwrite(summary.data(), 1, summary.size(), stdout);
  return *std::max_element(codes.begin(), codes.end());
}

int StatusOrUpgrade(const Options& options) {
  const CarriedImages images = LoadCarriedImages();
  if (!images.main.loaded()) {
    std::fprintf(stderr, "Unknown - MainExe\n");
    return kExitJobFailed;
  }
  if (!images.version) {
    std::fprintf(stderr, "Upgrade Version : Unknown\n");
    return kExitJobFailed;
  }
  if (options.useVirtual) {
    const Target virtualOne{"virtual", std::nullopt};
    return options.all ? RunOnAll(options, images, {virtualOne})
                       : RunOn(options, images, virtualOne, false);
  }
  if (!options.all && options.device.empty()) {
    return RunOn(options, images, {"usb", std::nullopt}, false);
  }

  const auto attached = cli::ListAttachedProgrammers();
  if (!attached) return kExitNoProgrammer;
  const cli::Selection selection =
      options.all ? cli::SelectAll(*attached) : cli::SelectNamed(*attached, options.device);
  for (const std::string& refusal : selection.refusals) {
    std::fprintf(stderr, "%s\n", refusal.c_str());
  }
  if (selection.chosen.empty()) {
    if (attached->empty()) std::fprintf(stderr, "USB UnConn: no programmer found\n");
    return kExitNoProgrammer;
  }
  std::vector<Target> targets;
  for (const std::size_t i : selection.chosen) {
    targets.push_back({cli::IdentityOf((*attached)[i]), (*attached)[i]});
  }
  if (!options.all) return RunOn(options, images, targets.front(), false);
  const int worst = RunOnAll(options, images, targets);
  return selection.refusals.empty() ? worst : std::max(worst, kExitNoProgrammer);
}

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
    torv2-upgrader-cli --all --progress lines upgrade)";

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
  auto* device = app.add_option("--device", options.device,
                                "The programmer with this name, port or BUS:ADDR (see list)");
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
  return StatusOrUpgrade(options);
}
