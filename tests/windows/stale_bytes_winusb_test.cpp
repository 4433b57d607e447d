// The stale-reply rows (tests/link/stale_reply_cases.h) and the held-bytes rows
// (tests/upgrade/held_bytes_cases.h) through the WinUSB transport over the simulated Windows: the
// same rows and checks as over the in-process transport on Linux.
//
// Windows keeps what the device sends after a read reached its time-out (ERROR_SEM_TIMEOUT), and
// the device keeps its state across the host's close and open, so the rows' bytes are queued on
// the device itself: before the host gave up, after it, and before the device file is opened.
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "emulator/winusb/simulated_windows.h"
#include "link/usb_link.h"
#include "link/winusb/winusb_transport.h"
#include "tests/link/stale_reply_cases.h"
#include "tests/upgrade/held_bytes_cases.h"

namespace torv2 {
namespace {

using emulator::VirtualProgrammer;
using emulator::winusb::SimulatedDevice;
using emulator::winusb::SimulatedWindows;

// --- bytes that come after the host gave up ---

class StaleBytesWinUsb : public ::testing::TestWithParam<stale_reply::StaleCase> {};

TEST_P(StaleBytesWinUsb, AreDrainedAndTheNextAttemptCompletes) {
  SimulatedWindows world({SimulatedDevice{}});
  link::winusb::WinUsbTransport transport(world.api());
  {
    link::UsbLink link(transport, stale_reply::kTimeouts);
    ASSERT_TRUE(link.OpenUsbLink());
    stale_reply::CheckStaleBytesAreDrained(GetParam(), link,
                                           [&](const auto& f) { world.WithProgrammer(0, f); });
  }
  EXPECT_EQ(world.heldFiles(), 0);
  EXPECT_EQ(world.heldInterfaces(), 0);
  EXPECT_EQ(world.pendingTransfers(), 0);
}

INSTANTIATE_TEST_SUITE_P(WinUsb, StaleBytesWinUsb, ::testing::ValuesIn(stale_reply::kStaleCases),
                         stale_reply::CaseName);

// --- bytes the device still holds when the host opens it ---

// Queues the held bytes on the device just before Windows opens its device file, at every open.
class HeldBeforeTheOpen final : public link::UsbTransport {
 public:
  HeldBeforeTheOpen(SimulatedWindows& world, std::vector<std::string> held)
      : world_(world), winusb_(world.api()), held_(std::move(held)) {}

  std::unique_ptr<link::UsbDevice> OpenDevice(const link::Guid& guid,
                                              std::chrono::milliseconds timeout) override {
    world_.WithProgrammer(0, [&](VirtualProgrammer& p) {
      for (const std::string& w : held_) p.SendRaw(stale_reply::Bytes(w));
    });
    return winusb_.OpenDevice(guid, timeout);
  }
  link::OpenOutcome LastOpenOutcome() const override { return winusb_.LastOpenOutcome(); }

 private:
  SimulatedWindows& world_;
  link::winusb::WinUsbTransport winusb_;
  std::vector<std::string> held_;
};

// A simulated Windows with one programmer, made afresh for each attempt.
class SimulatedWindowsBench {
 public:
  explicit SimulatedWindowsBench(const std::vector<std::string>& held)
      : world_({SimulatedDevice{}}), transport_(world_, held) {}
  ~SimulatedWindowsBench() {
    EXPECT_EQ(world_.heldFiles(), 0);
    EXPECT_EQ(world_.heldInterfaces(), 0);
  }

  link::UsbTransport& transport() { return transport_; }
  std::string HostSent() {
    return world_.WithProgrammer(0, [](VirtualProgrammer& p) {
      return std::string(p.hostBytes().begin(), p.hostBytes().end());
    });
  }

 private:
  SimulatedWindows world_;
  HeldBeforeTheOpen transport_;
};

class HeldBytesWinUsb : public ::testing::TestWithParam<held_bytes::Param> {};

TEST_P(HeldBytesWinUsb, AreNotTakenAsAnswers) {
  held_bytes::CheckHeldBytesAreNotTakenAsAnswers<SimulatedWindowsBench>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(WinUsb, HeldBytesWinUsb,
                         ::testing::Combine(::testing::ValuesIn(held_bytes::kAttempts),
                                            ::testing::ValuesIn(held_bytes::kHeldCases)),
                         held_bytes::CaseName);

}  // namespace
}  // namespace torv2
