// torv2-upgrader-cli: the upgrader without a window, for scripts and production lines.
//
//   info      the carried images
//   status    the start-up exchange with the programmer, then both versions
//   upgrade   the start-up exchange, then the whole upgrade; prints the report
//   list      the attached programmers
//
// Exit codes: 0 success; 1 the upgrade completed but the report shows a failure; 2 the upgrade
// failed on its way (or the carried images cannot be used); 3 no programmer found or not ready;
// 64 usage error.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/console_host.h"
#include "cli/progress_printer.h"
#include "cli/usb_access.h"
#include "cli/wire_trace.h"
#include "emulator/inprocess_transport.h"
#include "link/usb_link.h"
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

int List(const cli::UsbAccess& usb) {
  const std::optional<std::size_t> found = usb.List();
  return found && *found > 0 ? kExitOk : kExitNoProgrammer;
}

cli::ProgressMode ChooseProgressMode(const std::string& name) {
  if (name == "tty") return cli::ProgressMode::Tty;
  if (name == "lines") return cli::ProgressMode::Lines;
  if (name == "json") return cli::ProgressMode::Json;
  if (name == "none") return cli::ProgressMode::None;
  return isatty(STDERR_FILENO) ? cli::ProgressMode::Tty : cli::ProgressMode::Lines;
}

int StatusOrUpgrade(const Options& options, const cli::UsbAccess& usb) {
  const CarriedImages images = LoadCarriedImages();
  if (!images.main.loaded()) {
    std::fprintf(stderr, "Unknown - MainExe\n");
    return kExitJobFailed;
  }
  if (!images.version) {
    std::fprintf(stderr, "Upgrade Version : Unknown\n");
    return kExitJobFailed;
  }

  std::unique_ptr<link::UsbTransport> transport;
  std::string deviceName = "virtual";
  if (options.useVirtual) {
    transport = std::make_unique<emulator::InProcessTransport>();
  } else {
    transport = usb.CreateTransport();
    if (!transport) return kExitNoProgrammer;
    deviceName = usb.DeviceName();
  }
  std::vector<std::string> order;
  if (images.main.loaded()) order.push_back("main");
  if (images.sub.loaded()) order.push_back("sub");
  cli::ProgressPrinter progress(ChooseProgressMode(options.progress), deviceName, order);
  cli::ConsoleHost host(progress);
  link::UsbLink link(*transport);
  std::optional<cli::WireTrace> trace;
  if (options.trace) {
    trace.emplace("", std::chrono::steady_clock::now());
    link.SetTrace(&*trace);
  }
  upgrade::Upgrader upgrader(link, host);
  upgrader.m_mainImage = images.main;
  upgrader.m_subImage = images.sub;
  const std::string upgradeLine = upgrade::UpgradeVersionLine(*images.version);
  upgrader.SetUpgradeVersionLine(upgradeLine);

  if (!upgrader.StartUpExchange()) {
    std::fprintf(stderr, "USB UnConn: no programmer found\n");
    return kExitNoProgrammer;
  }
  if (options.command == "status") {
    const std::string current = upgrader.Report().m_strCurrentVersion;
    std::printf("%s\n%s\n", upgradeLine.c_str(),
                current.empty() ? "Current Version : Unknown" : current.c_str());
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

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Upgrades the firmware of a ZARN TORV II programmer.", "torv2-upgrader-cli"};
  app.set_version_flag("--version", "torv2-upgrader-cli 2.08");
  app.require_subcommand(1);
  Options options;
  app.add_flag("--virtual", options.useVirtual,
               "Use the built-in virtual programmer in this process (no USB)");
  app.add_option("--device", options.device, "The programmer at BUS:ADDR (see list)");
  app.add_option("--progress", options.progress, "How progress shows on stderr")
      ->check(CLI::IsMember({"auto", "tty", "lines", "json", "none"}));
  app.add_flag("--trace", options.trace,
               "Show every frame, reply, record and acknowledgement on stderr");
  app.add_subcommand("info", "Show the carried images and their version");
  app.add_subcommand("status", "Check the programmer and show both versions");
  app.add_subcommand("upgrade", "Write both images, verify them and show the report");
  app.add_subcommand("list", "List the attached programmers");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  options.command = app.get_subcommands().front()->get_name();

  const std::optional<cli::UsbAccess> usb = cli::UsbAccess::FromDeviceOption(options.device);
  if (!usb) return kExitUsage;
  if (options.command == "info") return Info();
  if (options.command == "list") return List(*usb);
  return StatusOrUpgrade(options, *usb);
}
