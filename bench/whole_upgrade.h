#pragma once
// One whole upgrade as the command line runs it, for the benchmarks: the job on its own thread,
// waited for. It counts as done only when both images were verified, the device's verdict was
// "OK", no message was shown and the device's version was read afterwards; the next upgrade on
// the same upgrader then starts from where a user's second click would.

#include <time.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "link/usb_link.h"
#include "tests/support/quiet_host.h"
#include "tests/support/test_images.h"
#include "upgrade/firmware_image.h"
#include "upgrade/upgrader.h"

namespace torv2::bench {

// Images of the sizes the program carries. The main image holds a title, as a carried one must:
// the device answers the version query with the title of the main image in its flash, and a
// device whose version cannot be read after an upgrade is not offered another.
struct Images {
  Images() {
    static constexpr char kTitle[] = "MainExe - TORV2 Execute V02.08";
    std::memcpy(main.data() + upgrade::kTitleOffset, kTitle, sizeof kTitle);
  }
  std::vector<std::uint8_t> main = testing::TestImage(217772, 1);
  std::vector<std::uint8_t> sub = testing::TestImage(61172, 2);
};

inline const Images& BenchImages() {
  static const Images images;
  return images;
}

class UpgradeRig {
 public:
  // `images` must outlive the rig.
  explicit UpgradeRig(link::UsbTransport& transport, const Images& images = BenchImages())
      : link_(transport), upgrader_(link_, host_) {
    upgrader_.SetImages({images.main.data(), static_cast<std::uint32_t>(images.main.size())},
                        {images.sub.data(), static_cast<std::uint32_t>(images.sub.size())});
    upgrader_.SetDeviceUsable(true);
  }

  // One whole upgrade; whether it succeeded.
  bool Upgrade() {
    upgrader_.StartJob();
    upgrader_.WaitForJob();
    const upgrade::JobResult job = upgrader_.LastJob();
    return job.outcome == upgrade::JobOutcome::Completed && job.mainOk && job.subOk &&
           host_.messages == 0 && upgrader_.VersionRead() && upgrader_.DeviceUsable();
  }

 private:
  link::UsbLink link_;
  testing::QuietHost host_;
  upgrade::Upgrader upgrader_;
};

// The processor time of the whole process (all its threads) so far, in milliseconds.
inline double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The processor time of the calling thread so far, in milliseconds.
inline double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace torv2::bench
