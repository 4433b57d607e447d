// The whole upgrade: the start-up exchange (status, a reset when the device answers "Already.",
// the version) and the job (both images written, read back and compared, the sub blocks, the
// socket status, the verdict, the version again), run for real against the in-process virtual
// programmer whose answers and faults the input chooses (support/faulty_programmer.h); every wait
// is zero. Then the same device, its state kept, turns well-behaved and a next attempt runs.
//
// Input: one byte of choices (bit 0: the device already holds both images, from an upgrade
// before; bit 1: ResetNow re-enumerates the device), then the device plan and the bus events.
//
// Holds, each checked with an abort:
//   1. the job ends within a bounded number of transfers (the bus counts them);
//   2. an image is reported as upgraded only when the device took this job's download of it and
//      its flash holds exactly that image; a socket is "OK" only when the device reported it
//      upgraded;
//   3. the outcome, the command line's exit code and the report agree; a failed job says why (a
//      cause), and every cause line, built from what the device sent, holds no control
//      character;
//   4. the link is closed at the end, no handle is left open, every progress value is 0 to 100
//      and the last one is 0 (no stale 100 after a failure, nor after the result);
//   5. after any input, a next attempt against the same device, now well-behaved, completes and
//      upgrades it.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cli/exit_codes.h"
#include "emulator/inprocess_transport.h"
#include "fuzz/support/faulty_programmer.h"
#include "fuzz/support/fuzz_input.h"
#include "link/failure.h"
#include "link/trace.h"
#include "link/usb_link.h"
#include "upgrade/cause.h"
#include "upgrade/upgrade_host.h"
#include "upgrade/upgrader.h"

using namespace torv2;
using namespace std::chrono_literals;
using emulator::Image;
using emulator::VirtualProgrammer;

namespace {

// Small images, so that a run is quick, yet each exchange has more than one step: the main
// image in two chunks (8,192 and 808 bytes), the sub image in three blocks (1,000, 1,000, 100).
constexpr std::size_t kMainSize = 9000;
constexpr std::size_t kSubSize = 2100;
// A good upgrade takes under 400 transfers with whole writes; pieces of three bytes, resends,
// junk and faults add to that, but no device should ever make the host take more than this.
constexpr std::size_t kTransferBound = 3 * (kMainSize + kSubSize) + 4000;

const std::vector<std::uint8_t>& ImageBytes(Image image) {
  static const auto make = [](std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& b : bytes) {
      seed = seed * 1664525u + 1013904223u;
      b = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
  };
  static const std::vector<std::uint8_t> main = make(kMainSize, 1);
  static const std::vector<std::uint8_t> sub = make(kSubSize, 2);
  return image == Image::Main ? main : sub;
}

class ProgressRecord final : public link::ProgressSink {
 public:
  void SetLabel(std::string_view, bool) override {}
  void SetPercent(int percent) override {
    FUZZ_CHECK(percent >= 0 && percent <= 100);
    last = percent;
    ++calls;
  }
  int last = 0;
  int calls = 0;
};

class Host final : public upgrade::UpgradeHost {
 public:
  link::ProgressSink& Progress() override { return progress; }
  void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
  void ShowResult(const upgrade::UpgradeReport& report) override { results.push_back(report); }
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override { ++ends; }
  // The cause line the command line prints, and its keys for --progress json: built from what
  // the device sent, so rendered here for every failure. Device bytes in it are escaped: no
  // control character reaches the user's terminal or log.
  void LogCause(const upgrade::Cause& cause) override {
    const std::string text = upgrade::DescribeCause(cause);
    FUZZ_CHECK(!text.empty());
    for (const char c : text) {
      FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    FUZZ_CHECK(!upgrade::StepKey(cause.at).empty());
    FUZZ_CHECK(!link::HappenedKey(cause.failure.what).empty());
    ++causes;
  }

  bool Said(std::string_view text) const {
    return std::find(messages.begin(), messages.end(), text) != messages.end();
  }

  ProgressRecord progress;
  std::vector<std::string> messages;
  std::vector<upgrade::UpgradeReport> results;
  int ends = 0;
  int causes = 0;
};

// TORV2_FUZZ_DEBUG set: the plan, every exchange and each attempt's outcome go to stderr.
bool Debugging() {
  static const bool debugging = std::getenv("TORV2_FUZZ_DEBUG") != nullptr;
  return debugging;
}

// With TORV2_FUZZ_DEBUG: every exchange on the link, to stderr (the first bytes of each).
class DebugTrace final : public link::LinkTrace {
 public:
  void Record(link::Direction direction, std::string_view what,
              std::span<const std::uint8_t> bytes) override {
    std::fprintf(stderr, "  %s %-14.*s %5zu:", direction == link::Direction::ToDevice ? ">" : "<",
                 static_cast<int>(what.size()), what.data(), bytes.size());
    for (std::size_t i = 0; i < bytes.size() && i < 12; ++i)
      std::fprintf(stderr, " %02x", bytes[i]);
    std::fprintf(stderr, "\n");
  }
};

struct Attempt {
  upgrade::JobResult job;
  upgrade::UpgradeReport report;
  int exitCode = 0;
  std::array<int, 2> stored{};  // downloads the device took during the attempt, per image
};

int StoredCount(emulator::InProcessTransport& device, Image image) {
  return device.WithProgrammer([&](VirtualProgrammer& p) { return p.flashWrites(image); });
}

bool FlashHolds(emulator::InProcessTransport& device, Image image) {
  return device.WithProgrammer(
      [&](VirtualProgrammer& p) { return p.flash(image) == ImageBytes(image); });
}

std::size_t Count(const std::string& text, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The start-up exchange and one job, as the command line's "upgrade" runs them; checks
// properties 3 and 4 (the bus checks 1).
Attempt RunAttempt(fuzz::FaultyBus& bus, emulator::InProcessTransport& device) {
  // A link of its own, as each run of the command line has: an upgrader that ends cancels its
  // link for good.
  link::UsbLink link(bus, {0ms, 0ms});
  DebugTrace trace;
  if (Debugging()) link.SetTrace(&trace);
  Host host;
  Attempt a;
  const int mainBefore = StoredCount(device, Image::Main);
  const int subBefore = StoredCount(device, Image::Sub);
  {
    upgrade::Upgrader upgrader(link, host, upgrade::UpgraderTimings{0ms});
    const auto& main = ImageBytes(Image::Main);
    const auto& sub = ImageBytes(Image::Sub);
    upgrader.SetImages({main.data(), static_cast<std::uint32_t>(main.size())},
                       {sub.data(), static_cast<std::uint32_t>(sub.size())});
    upgrader.SetUpgradeVersionLine("Upgrade Version : 2.08");
    if (upgrader.StartUpExchange()) {
      FUZZ_CHECK(!link.IsOpen() && !link.linkOpen);
      upgrader.StartJob();
      upgrader.WaitForJob();
      a.job = upgrader.LastJob();
      a.report = upgrader.Report();
      a.exitCode = cli::UpgradeExitCode(a.job);
    } else {
      a.exitCode = cli::kExitNotReady;  // as the command line gives up
    }
  }
  if (Debugging()) {
    std::fprintf(stderr, "attempt: outcome %d mainOk %d subOk %d exit %d transfers %zu;",
                 static_cast<int>(a.job.outcome), a.job.mainOk, a.job.subOk, a.exitCode,
                 bus.transfers());
    for (const auto& m : host.messages) std::fprintf(stderr, " [%s]", m.c_str());
    std::fprintf(stderr, "\n");
  }
  a.stored = {StoredCount(device, Image::Main) - mainBefore,
              StoredCount(device, Image::Sub) - subBefore};

  // 4. The link is closed, nothing is left open, the bar is back at 0.
  FUZZ_CHECK(!link.IsOpen() && !link.linkOpen);
  FUZZ_CHECK(bus.openHandles() == 0);
  FUZZ_CHECK(host.progress.last == 0);

  // 3. Outcome, exit code and report agree.
  const upgrade::JobResult& job = a.job;
  switch (job.outcome) {
    case upgrade::JobOutcome::Completed: {
      FUZZ_CHECK(host.results.size() == 1 && host.ends == 1);
      FUZZ_CHECK(!host.Said(upgrade::kMsgUpgradeError));
      const upgrade::UpgradeReport& shown = host.results.front();
      FUZZ_CHECK(shown.mainResult == (job.mainOk ? "Torv2 Main Execute - Upgrade OK"
                                                 : "Torv2 Main Execute - Upgrade Fail"));
      const std::size_t okCells = Count(shown.socketTable, "（ＯＫ）");
      const std::size_t badCells = Count(shown.socketTable, "（ＢＡＤ）");
      if (shown.subResult.empty()) {
        // The device refused part of the sub transfer: every socket counts as failed.
        FUZZ_CHECK(shown.socketTable.find("All Sub Socket Error!") != std::string::npos);
        FUZZ_CHECK(okCells == 0);
      } else {
        FUZZ_CHECK(shown.subResult == (job.subOk ? "Torv2 Sub Execute - Upgrade OK"
                                                 : "Torv2 Sub Execute - Upgrade Fail"));
        FUZZ_CHECK(okCells + badCells == 8);
        std::size_t upgraded = 0;
        if (job.sockets) upgraded = std::count(job.sockets->begin(), job.sockets->end(), 'U');
        FUZZ_CHECK(okCells == upgraded);
      }
      const bool allOk = shown.mainResult == "Torv2 Main Execute - Upgrade OK" &&
                         shown.subResult == "Torv2 Sub Execute - Upgrade OK" && okCells == 8;
      FUZZ_CHECK(a.exitCode == (allOk ? cli::kExitOk : cli::kExitReportFailure));
      break;
    }
    case upgrade::JobOutcome::Failed:
      FUZZ_CHECK(host.results.empty() && host.ends == 0);
      FUZZ_CHECK(host.causes > 0);
      FUZZ_CHECK(host.Said(upgrade::kMsgUpgradeError));
      FUZZ_CHECK(a.exitCode == (job.linkNotReady ? cli::kExitNotReady : cli::kExitStopped));
      break;
    case upgrade::JobOutcome::Refused:
    case upgrade::JobOutcome::NotRun:
      FUZZ_CHECK(host.results.empty() && host.ends == 0);
      FUZZ_CHECK(a.exitCode == cli::kExitNotReady);
      break;
  }
  return a;
}

// 2. Nothing is reported as upgraded that the device did not take and hold.
void CheckClaims(const Attempt& a, emulator::InProcessTransport& device,
                 const emulator::DeviceSettings& settings) {
  if (a.job.outcome != upgrade::JobOutcome::Completed) return;
  if (a.job.mainOk) FUZZ_CHECK(a.stored[0] > 0 && FlashHolds(device, Image::Main));
  if (a.job.subOk) FUZZ_CHECK(a.stored[1] > 0 && FlashHolds(device, Image::Sub));
  if (a.job.sockets) {
    for (std::size_t i = 0; i < 8; ++i) {
      if ((*a.job.sockets)[i] == 'U') FUZZ_CHECK(settings.socketStatus[i] == 'U');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(std::span(data, size));
  const std::uint8_t choices = in.Byte();
  const fuzz::DevicePlan plan = fuzz::DevicePlan::FromInput(in);
  std::vector<fuzz::BusEvent> events = fuzz::BusEvent::FromInput(in);
  if (Debugging()) {
    std::fprintf(stderr, "choices %02x;", choices);
    for (const auto& f : plan.stepFaults) {
      std::fprintf(stderr, " step fault: step %d occurrence %d kind %d;", static_cast<int>(f.step),
                   f.occurrence, static_cast<int>(f.kind));
    }
    for (const auto& e : events) {
      std::fprintf(stderr, " bus event: kind %d at %zu a %d b %d;", static_cast<int>(e.kind), e.at,
                   e.a, e.b);
    }
    std::fprintf(stderr, "\n");
  }

  emulator::DeviceSettings quiet;
  quiet.recordHostBytes = false;
  emulator::InProcessTransport device(quiet);
  fuzz::FaultyBus bus(device, plan);

  if (choices & 0x01) {  // a device upgraded before
    bus.Calm(kTransferBound);
    const Attempt before = RunAttempt(bus, device);
    FUZZ_CHECK(before.exitCode == cli::kExitOk);
  }

  bus.Start(std::move(events), (choices & 0x02) != 0, kTransferBound);
  const Attempt attempt = RunAttempt(bus, device);
  CheckClaims(attempt, device, plan.settings);

  // 5. The next attempt, against the same device now well-behaved, completes.
  bus.Calm(kTransferBound);
  const Attempt next = RunAttempt(bus, device);
  FUZZ_CHECK(next.job.outcome == upgrade::JobOutcome::Completed);
  FUZZ_CHECK(next.exitCode == cli::kExitOk);
  FUZZ_CHECK(next.stored[0] == 1 && next.stored[1] == 1);
  FUZZ_CHECK(FlashHolds(device, Image::Main) && FlashHolds(device, Image::Sub));
  return 0;
}
