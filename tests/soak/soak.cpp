// Soak: many whole upgrades, one after another, in one process, against the in-process virtual
// programmer. Prints the resident memory after the first upgrade, the middle one and the last;
// with --check-memory fails when the last is above the middle one. Under the asan preset
// LeakSanitizer checks at exit that nothing leaked.
//
//   soak [--upgrades N] [--check-memory]

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "tests/support/quiet_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace {

using namespace torv2;

// Resident memory once the allocator has handed back what it only keeps as a cache.
long ResidentKiB() {
  malloc_trim(0);
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int upgrades = 1000;
  bool checkMemory = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--upgrades") == 0 && i + 1 < argc) upgrades = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--check-memory") == 0) checkMemory = true;
  }

  // glibc raises its mmap threshold after the first large free and then keeps blocks of that size
  // in its heap: a cache, not growth. A fixed threshold and a trim before each reading leave
  // only what is really in use.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  const auto mainImage = testing::TestImage(217772, 1);
  const auto subImage = testing::TestImage(61172, 2);
  emulator::InProcessTransport device({.recordHostBytes = false});
  // Each reading is taken with the previous upgrade's upgrader gone, as the last one is: what an
  // upgrader holds while it lives (its read-back buffer) is not growth, and must hide none. The
  // allocator settles over the first upgrades (its free lists keep a few KiB more); from the
  // middle of the run on, nothing may grow.
  const int middle = upgrades / 2 + 1;
  long afterFirst = 0;
  long atMiddle = 0;
  for (int n = 1; n <= upgrades; ++n) {
    if (n == 2) afterFirst = ResidentKiB();
    if (n == middle && n > 1) atMiddle = ResidentKiB();
    // A new link, window side and job every time, as a program run would have.
    link::UsbLink link(device);
    testing::QuietHost host;
    upgrade::Upgrader upgrader(link, host);
    upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                       {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
    upgrader.SetDeviceUsable(true);
    upgrader.StartJob();
    upgrader.WaitForJob();
    const upgrade::JobResult job = upgrader.LastJob();
    if (job.outcome != upgrade::JobOutcome::Completed || !job.mainOk || !job.subOk ||
        host.messages != 0) {
      std::fprintf(stderr, "soak: upgrade %d did not complete\n", n);
      return 1;
    }
  }
  const long atEnd = ResidentKiB();
  if (upgrades < 2) afterFirst = atMiddle = atEnd;
  std::printf(
      "soak: %d upgrades; resident memory after the first %ld KiB, after the middle one %ld KiB, "
      "after the last %ld KiB\n",
      upgrades, afterFirst, atMiddle, atEnd);
  if (checkMemory && atEnd > atMiddle) {
    std::fprintf(stderr, "soak: memory grew by %ld KiB over the second half\n", atEnd - atMiddle);
    return 1;
  }
  return 0;
}
