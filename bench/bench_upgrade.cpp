// A whole upgrade (both images written and read back, the report, the version) against the
// in-process virtual programmer. The process CPU time covers the host code and the device model
// together, so the host's own share is below it.
#include <benchmark/benchmark.h>

#include <vector>

#include "emulator/inprocess_transport.h"
#include "tests/support/quiet_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace {

using namespace torv2;

const std::vector<std::uint8_t> kMain = testing::TestImage(217772, 1);
const std::vector<std::uint8_t> kSub = testing::TestImage(61172, 2);

void BM_WholeUpgrade(benchmark::State& state) {
  emulator::InProcessTransport device(
      {.maxPacketSize = static_cast<std::uint16_t>(state.range(0)), .recordHostBytes = false});
  link::UsbLink link(device);
  testing::QuietHost host;
  upgrade::Upgrader upgrader(link, host);
  upgrader.SetImages({kMain.data(), static_cast<std::uint32_t>(kMain.size())},
                     {kSub.data(), static_cast<std::uint32_t>(kSub.size())});
  upgrader.SetDeviceUsable(true);
  for (auto _ : state) {
    upgrader.StartJob();
    upgrader.WaitForJob();
    if (upgrader.LastJob().outcome != upgrade::JobOutcome::Completed || host.messages) {
      state.SkipWithError("upgrade failed");
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

BENCHMARK_MAIN();
