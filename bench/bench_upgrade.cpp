// A whole upgrade (both images written and read back, the report, the version) against the
// in-process virtual programmer, with 64-byte (full speed) and 512-byte (high speed) packets:
// - BM_WholeUpgrade: the upgrader and the device model together (the process CPU time);
// - BM_HostOwn: the upgrader alone: it runs against a recording of the model's answers to a
//   whole upgrade (bench/recorded_exchange.h), so the process CPU time is the host's own, each
//   reply costing one copy out of the recording;
// - BM_ModelOwn: the model alone, fed the host's recorded transfers on the benchmark's thread
//   (that thread's CPU time).
// Every upgrade must succeed: one that does not stops the benchmark and the program exits 1.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench/recorded_exchange.h"
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

// A whole upgrade against a model made with `settings`, recorded; empty when it failed.
bench::Recording Record(const emulator::DeviceSettings& settings) {
  emulator::InProcessTransport device(settings);
  bench::RecordingTransport recorder(device);
  bench::UpgradeRig rig(recorder);
  if (!rig.Upgrade()) return {};
  return recorder.recording();
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

void BM_HostOwn(benchmark::State& state) {
  const bench::Recording recording = Record(Settings(state));
  if (recording.empty()) return Fail(state, "upgrade failed while recording");
  bench::ReplayTransport replay(recording);
  bench::UpgradeRig rig(replay);
  state.SetLabel("host alone, against the model's recorded answers");
  for (auto _ : state) {
    replay.Rewind();
    if (!rig.Upgrade() || !replay.Faithful()) {
      Fail(state, "the upgrade against the recording failed or went another way");
      break;
    }
  }
}

void BM_ModelOwn(benchmark::State& state) {
  const bench::Recording recording = Record(Settings(state));
  if (recording.empty()) return Fail(state, "upgrade failed while recording");
  emulator::InProcessTransport device(Settings(state));
  state.SetLabel("model alone, fed the host's recorded transfers");
  for (auto _ : state) {
    if (!bench::FeedModel(device, recording)) {
      Fail(state, "the model did not answer as recorded");
      break;
    }
  }
}

BENCHMARK(BM_WholeUpgrade)
    ->Arg(64)
    ->Arg(512)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostOwn)
    ->Arg(64)
    ->Arg(512)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ModelOwn)->Arg(64)->Arg(512)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext(
      "host's own CPU per whole upgrade",
      "the CPU column of BM_HostOwn/64 (full speed) and BM_HostOwn/512 (high speed): the "
      "process CPU clock while the upgrader runs against a recording of the model's answers");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (failed) {
    std::fprintf(stderr, "bench_upgrade: an upgrade failed\n");
    return 1;
  }
  return 0;
}
