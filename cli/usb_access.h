#pragma once
// The command line's way to the programmer on this platform: libusb on Linux
// (usb_access_libusb.cpp), SetupAPI and WinUSB on Windows (usb_access_winusb.cpp).

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "link/usb_transport.h"

namespace torv2::cli {

class UsbAccess {
 public:
  // What --device names (empty: any programmer); nullopt, after saying why on stderr, when this
  // platform cannot take it.
  static std::optional<UsbAccess> FromDeviceOption(const std::string& device);

  // The transport, limited to the chosen device; nullptr, after saying why on stderr, when USB
  // cannot be used on this machine.
  std::unique_ptr<link::UsbTransport> CreateTransport() const;
  // How progress lines name the device: "usb", or the device chosen.
  std::string DeviceName() const;
  // Prints one line per attached programmer and gives their number; nullopt, after saying why on
  // stderr, when USB cannot be used on this machine.
  std::optional<std::size_t> List() const;

 private:
  explicit UsbAccess(std::string device) : device_(std::move(device)) {}
  std::string device_;  // as checked by FromDeviceOption, in its canonical form
};

}  // namespace torv2::cli
