// A whole upgrade (both images written and read back, the report, the version) against the
// in-process virtual programmer, with 64-byte (full speed) and 512-byte (high speed) packets. The
// process CPU time covers the host code and the device model together. Every upgrade must
// succeed: one that does not stops the benchmark and the program exits 1.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/whole_upgrade.h"
#include "emulator/inprocess_transport.h"

namespace {

using namespace torv2;

bool failed = false;

void Fail(benchmark::State& state, const char* why) {
  failed = true;
  state.SkipWithError(why);
}

emulator::DeviceSettings Settings(const benchmark::State& state) {
  return {.maxPacketSize = static_cast<std::uint16_t>(state.range(0)), .recordHostBytes = false};
}

void BM_WholeUpgrade(benchmark::State& state) {
  emulator::InProcessTransport device(Settings(state));
  bench::UpgradeRig rig(device);
  state.SetLabel("host and model");
  for (auto _ : state) {
    if (!rig.Upgrade()) {
      Fail(state, "upgrade failed");
      break;
    }
  }
  state.counters["usb_reads"] = benchmark::Counter(static_cast<double>(device.bulkReads()),
                                                   benchmark::Counter::kAvgIterations);
  state.counters["usb_writes"] = benchmark::Counter(static_cast<double>(device.bulkWrites()),
                                                    benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_WholeUpgrade)
    ->Arg(64)
    ->Arg(512)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (failed) {
    std::fprintf(stderr, "bench_upgrade: an upgrade failed\n");
    return 1;
  }
  return 0;
}
