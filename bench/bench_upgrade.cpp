// A whole upgrade (both images written and read back, the report, the version) against the
// in-process virtual programmer. The process CPU time covers the host code and the device model
// together, so the host's own share is below it.
#include <benchmark/benchmark.h>

#include <vector>

#include "emulator/inprocess_transport.h"
#include "upgrade/upgrader.h"

namespace {

using namespace torv2;

std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto b = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    v[i] = b == '#' ? 0x22 : b;
  }
  return v;
}

class NullSink : public link::ProgressSink {
 public:
  void SetRange(int, int) override {}
  void SetStep(int) override {}
  void SetText(std::string_view, bool) override {}
  int SetPos(int p) override { return std::exchange(pos_, p); }

 private:
  int pos_ = 0;
};

class QuietHost : public upgrade::UpgradeHost {
 public:
  link::ProgressSink& Progress() override { return sink_; }
  void ShowMessage(std::string_view) override { ++messages; }
  void ShowResult(const upgrade::UpgradeReport&) override {}
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override {}
  int messages = 0;

 private:
  NullSink sink_;
};

const std::vector<std::uint8_t> kMain = MakeImage(217772, 1);
const std::vector<std::uint8_t> kSub = MakeImage(61172, 2);

void BM_WholeUpgrade(benchmark::State& state) {
  emulator::InProcessTransport device(
      {.maxPacketSize = static_cast<std::uint16_t>(state.range(0)), .recordHostBytes = false});
  link::UsbLink link(device);
  QuietHost host;
  upgrade::Upgrader upgrader(link, host);
  upgrader.m_mainImage = {kMain.data(), static_cast<std::uint32_t>(kMain.size())};
  upgrader.m_subImage = {kSub.data(), static_cast<std::uint32_t>(kSub.size())};
  upgrader.SetDeviceUsable(true);
  for (auto _ : state) {
    upgrader.OnBnClickedUpdate();
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
