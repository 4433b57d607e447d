// A whole upgrade against the bus floor: what the exchange must cost at full and high speed
// (every transfer the protocol cannot do without, each at its bus time, plus the device's time
// per chunk), next to what our host code costs (the bus time of the transfers it really issues,
// plus its own processor time). Bus time is computed, not waited for.
//
//   bench_bus [--device-delay-us N]

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "emulator/bus_timing.h"
#include "emulator/inprocess_transport.h"
#include "tests/support/quiet_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace {

using namespace torv2;
using emulator::BusSpeed;
using emulator::BusTiming;
using emulator::Step;

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Ms(std::chrono::nanoseconds d) {
  return static_cast<double>(d.count()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  long delayUs = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--device-delay-us") == 0) delayUs = std::atol(argv[i + 1]);
  }
  const auto mainImage = testing::TestImage(217772, 1);
  const auto subImage = testing::TestImage(61172, 2);

  std::printf("%-11s %12s %12s %10s %14s %14s\n", "bus", "floor ms", "ours ms", "host ms",
              "IN ours/min", "OUT ours/min");
  for (const BusSpeed speed : {BusSpeed::Full, BusSpeed::High}) {
    const BusTiming timing{speed, std::chrono::microseconds(delayUs)};
    emulator::InProcessTransport device(
        {.maxPacketSize = static_cast<std::uint16_t>(timing.PacketSize())});
    link::UsbLink link(device);
    testing::QuietHost host;
    upgrade::Upgrader upgrader(link, host);
    upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                       {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
    upgrader.SetDeviceUsable(true);

    const double cpuBefore = ProcessCpuMs();
    upgrader.StartJob();
    upgrader.WaitForJob();
    const double hostMs = ProcessCpuMs() - cpuBefore;
    if (upgrader.LastJob().outcome != upgrade::JobOutcome::Completed) {
      std::fprintf(stderr, "bench_bus: the upgrade did not complete\n");
      return 1;
    }

    const auto [hostWrites, deviceWrites, chunks] = device.WithProgrammer([](auto& p) {
      const auto n = static_cast<std::size_t>(emulator::ChunksHandled(p));
      return std::tuple(p.hostWriteSizes(), p.deviceWrites(), n);
    });
    const auto floor = emulator::ProtocolFloor(timing, hostWrites, deviceWrites, chunks);
    const auto ours = emulator::TransfersCost(timing, device.outTransferSizes(),
                                              device.inTransferSizes(), chunks);
    std::printf("%-11s %12.1f %12.1f %10.2f %7zu/%-6zu %7zu/%-6zu\n",
                speed == BusSpeed::Full ? "full speed" : "high speed", Ms(floor.busTime),
                Ms(ours.busTime) + hostMs, hostMs, ours.inTransfers, floor.inTransfers,
                ours.outTransfers, floor.outTransfers);
  }
  return 0;
}
