// The re-enumeration rows (tests/usb/reopening_cases.h) through the WinUSB transport over the
// simulated Windows: the same rows and checks as through libusb under umockdev on Linux. Windows
// brings a restarted programmer back under the same instance ID and interface path, and the
// handles of before stay dead.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "emulator/winusb/simulated_windows.h"
#include "link/winusb/winusb_transport.h"
#include "tests/usb/reopening_cases.h"

namespace torv2 {
namespace {

using namespace std::chrono_literals;
using emulator::winusb::SimulatedDevice;
using emulator::winusb::SimulatedWindows;
using link::winusb::WinUsbOptions;
using link::winusb::WinUsbTransport;

SimulatedDevice OnPort(std::string serial, std::uint8_t port) {
  SimulatedDevice d;
  d.serial = std::move(serial);
  d.port.ports = {port};
  d.reenumerationDelay = 1h;  // away until Replug()
  return d;
}

class SimulatedWindowsReopenBench {
 public:
  SimulatedWindowsReopenBench(const std::string& first, const std::string& second)
      : serials_{first, second}, world_({OnPort(first, 1), OnPort(second, 2)}) {}
  ~SimulatedWindowsReopenBench() {
    EXPECT_EQ(world_.heldFiles(), 0);
    EXPECT_EQ(world_.heldInterfaces(), 0);
  }

  std::unique_ptr<WinUsbTransport> Transport(reopening::Named named, std::size_t index) {
    WinUsbOptions options;
    const std::string port = "pci1400-" + std::to_string(index + 1);
    if (named == reopening::Named::BySerial) options.only.serial = serials_.at(index);
    if (named == reopening::Named::ByPort) options.only.port = port;
    // The names given are the ones Windows shows for that device.
    std::size_t shown = 0;
    for (const auto& p : WinUsbTransport(world_.api()).List(link::DeviceInterfaceGuid)) {
      if (p.interfacePath != world_.InterfacePath(index)) continue;
      ++shown;
      EXPECT_EQ(p.port, port);
      EXPECT_EQ(p.serial, serials_.at(index));
    }
    EXPECT_EQ(shown, 1u);
    return std::make_unique<WinUsbTransport>(world_.api(), std::move(options));
  }
  void Unplug(std::size_t index) { world_.Unplug(index); }
  void Replug(std::size_t index) {
    const std::string path = world_.InterfacePath(index);
    world_.Replug(index);
    EXPECT_TRUE(world_.OnTheBus(index));
    EXPECT_EQ(world_.InterfacePath(index), path) << "Windows keeps the path on the same port";
  }
  void Reenumerate(std::size_t index) {
    world_.Reenumerate(index);
    EXPECT_FALSE(world_.OnTheBus(index));
  }
  std::size_t Opens(std::size_t index) const { return world_.opens(index); }

 private:
  const std::vector<std::string> serials_;
  SimulatedWindows world_;
};

class ReopeningWinUsb : public ::testing::TestWithParam<reopening::ReopenCase> {};

TEST_P(ReopeningWinUsb, AProgrammerThatRestartsIsNotSwappedForAnother) {
  reopening::CheckARestartingProgrammerIsNotSwapped<SimulatedWindowsReopenBench>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(WinUsb, ReopeningWinUsb, ::testing::ValuesIn(reopening::kReopenCases),
                         reopening::CaseName);

}  // namespace
}  // namespace torv2
