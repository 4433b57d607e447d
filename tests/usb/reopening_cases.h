#pragma once
// The re-enumeration rows, shared by every transport they run over (libusb under umockdev on
// Linux, WinUSB over the simulated Windows): a programmer that was told to restart is opened again
// once it is back, and while it is away, another one plugged in before it (a lower port) is not
// opened in its place. With a serial number it is found by that, without one by its port; the
// transport may also have been told to take only that programmer, by either name.

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>

#include "link/usb_link.h"

namespace torv2::reopening {

// How the transport was told which programmer to take.
enum class Named { Any, BySerial, ByPort };

struct ReopenCase {
  const char* name;
  std::string serial;  // the restarting programmer's; the other has one exactly when it has
  Named named;
};

inline const ReopenCase kReopenCases[] = {
    {"WithASerialNumber", "RESTARTS", Named::Any},
    {"WithoutASerialNumber", "", Named::Any},
    {"NamedBySerial", "RESTARTS", Named::BySerial},
    {"NamedByPort", "", Named::ByPort},
};

inline std::string CaseName(const ::testing::TestParamInfo<ReopenCase>& info) {
  return info.param.name;
}
inline void PrintTo(const ReopenCase& c, std::ostream* os) {
  *os << c.name;
}

// `Bench` is constructed from the serial numbers of two programmers, plugged into ports 1 and 2 in
// that order, and has:
//   Transport(named, index)  a transport (std::unique_ptr<link::UsbTransport>) told to take
//                            programmer `index` by that name, or any programmer
//   Unplug(index), Replug(index)
//   Reenumerate(index)       what "ResetNow" does: off the bus, and back only at Replug(index)
//   Opens(index)             how often the host opened (claimed) it
template <class Bench>
void CheckARestartingProgrammerIsNotSwapped(const ReopenCase& c) {
  constexpr std::size_t kOther = 0;  // port 1
  constexpr std::size_t kRestarting = 1;
  Bench bench(c.serial.empty() ? "" : "OTHER", c.serial);
  bench.Unplug(kOther);

  const auto transport = bench.Transport(c.named, kRestarting);
  ASSERT_NE(transport, nullptr);
  link::UsbLink link(*transport);
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();
  ASSERT_EQ(bench.Opens(kRestarting), 1u);

  link.ProgrammerRestarts();
  bench.Reenumerate(kRestarting);  // off the bus until it is plugged back below
  bench.Replug(kOther);
  EXPECT_FALSE(link.OpenUsbLink());
  EXPECT_EQ(bench.Opens(kOther), 0u) << "the other programmer was opened in its place";

  bench.Replug(kRestarting);
  ASSERT_TRUE(link.OpenUsbLink());
  link.CloseUsbLink();
  EXPECT_EQ(bench.Opens(kRestarting), 2u);
  EXPECT_EQ(bench.Opens(kOther), 0u);
}

}  // namespace torv2::reopening
