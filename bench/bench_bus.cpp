// A whole upgrade against the bus floor: what the exchange must cost at full and high speed
// (every transfer the protocol cannot do without, each at its bus time, plus the device's time
// per chunk), next to what our host code costs (the bus time of the transfers it really issues,
// plus its own processor time). Bus time is computed, not waited for.
//
// The host's own processor time leaves the device model out: the upgrade is recorded once
// against the model, then the upgrader runs against the recording (bench/recorded_exchange.h),
// where each reply costs one copy, and the process CPU clock around each such upgrade (the
// calling thread and the job's thread; no other runs) is the host's. The model's own time is
// measured the other way round: the model fed the host's recorded transfers, on this thread's
// CPU clock. Each is the median of --runs upgrades (default 21).
//
//   bench_bus [--device-delay-us N] [--runs N]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "bench/recorded_exchange.h"
#include "bench/whole_upgrade.h"
#include "emulator/bus_timing.h"
#include "emulator/inprocess_transport.h"

namespace {

using namespace torv2;
using emulator::BusSpeed;
using emulator::BusTiming;

double Ms(std::chrono::nanoseconds d) {
  return static_cast<double>(d.count()) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Measured {
  emulator::WireCost floor;
  emulator::WireCost ours;
  double hostMs = 0;   // the host's own processor time per whole upgrade
  double modelMs = 0;  // the model's own
};

// Fails with a message on stderr when any upgrade, replay or feed goes wrong.
bool Measure(const BusTiming& timing, int runs, Measured& m) {
  const emulator::DeviceSettings settings{.maxPacketSize =
                                              static_cast<std::uint16_t>(timing.PacketSize())};
  emulator::InProcessTransport device(settings);
  bench::RecordingTransport recorder(device);
  {
    bench::UpgradeRig rig(recorder);
    if (!rig.Upgrade()) {
      std::fprintf(stderr, "bench_bus: the upgrade against the virtual programmer failed\n");
      return false;
    }
  }
  const auto [hostWrites, deviceWrites, chunks] = device.WithProgrammer([](auto& p) {
    const auto n = static_cast<std::size_t>(emulator::ChunksHandled(p));
    return std::tuple(p.hostWriteSizes(), p.deviceWrites(), n);
  });
  m.floor = emulator::ProtocolFloor(timing, hostWrites, deviceWrites, chunks);
  m.ours =
      emulator::TransfersCost(timing, device.outTransferSizes(), device.inTransferSizes(), chunks);

  bench::ReplayTransport replay(recorder.recording());
  bench::UpgradeRig rig(replay);
  std::vector<double> host;
  for (int i = 0; i < runs; ++i) {
    replay.Rewind();
    const double before = bench::ProcessCpuMs();
    const bool ok = rig.Upgrade();
    host.push_back(bench::ProcessCpuMs() - before);
    if (!ok || !replay.Faithful()) {
      std::fprintf(stderr,
                   "bench_bus: the upgrade against the recording failed or went another way\n");
      return false;
    }
  }
  m.hostMs = Median(host);

  emulator::DeviceSettings modelSettings = settings;
  modelSettings.recordHostBytes = false;  // what the floor needed is known already
  emulator::InProcessTransport model(modelSettings);
  std::vector<double> modelTimes;
  for (int i = 0; i < runs; ++i) {
    const double before = bench::ThreadCpuMs();
    const bool ok = bench::FeedModel(model, recorder.recording());
    modelTimes.push_back(bench::ThreadCpuMs() - before);
    if (!ok) {
      std::fprintf(stderr,
                   "bench_bus: the model did not answer the recorded transfers as before\n");
      return false;
    }
  }
  m.modelMs = Median(modelTimes);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long delayUs = 0;
  int runs = 21;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--device-delay-us") == 0 && hasValue) {
      delayUs = std::atol(argv[++i]);
    } else if (std::strcmp(argv[i], "--runs") == 0 && hasValue) {
      runs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_bus [--device-delay-us N] [--runs N]\n");
      return 64;
    }
  }
  if (runs < 1 || delayUs < 0) {
    std::fprintf(stderr, "bench_bus: --runs takes a count from 1, --device-delay-us one from 0\n");
    return 64;
  }

  std::vector<std::pair<const char*, Measured>> rows;
  for (const BusSpeed speed : {BusSpeed::Full, BusSpeed::High}) {
    const BusTiming timing{speed, std::chrono::microseconds(delayUs)};
    Measured m;
    if (!Measure(timing, runs, m)) return 1;
    rows.emplace_back(speed == BusSpeed::Full ? "full speed" : "high speed", m);
  }

  std::printf("%-11s %12s %12s %10s %14s %14s\n", "bus", "floor ms", "ours ms", "host ms",
              "IN ours/min", "OUT ours/min");
  for (const auto& [bus, m] : rows) {
    std::printf("%-11s %12.1f %12.1f %10.2f %7zu/%-6zu %7zu/%-6zu\n", bus, Ms(m.floor.busTime),
                Ms(m.ours.busTime) + m.hostMs, m.hostMs, m.ours.inTransfers, m.floor.inTransfers,
                m.ours.outTransfers, m.floor.outTransfers);
  }
  for (const auto& [bus, m] : rows) {
    std::printf("host's own CPU per whole upgrade, %s: %.2f ms (the device model's: %.2f ms)\n",
                bus, m.hostMs, m.modelMs);
  }
  std::printf(
      "measured: median of %d upgrades of the process CPU clock, the upgrader running against a "
      "recording of the model's answers; the model's, fed the host's recorded transfers\n",
      runs);
  return 0;
}
