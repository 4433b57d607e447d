#include <cstdio>

#include "cli/usb_access.h"
#include "link/winusb/winusb_transport.h"

namespace torv2::cli {

// Windows names devices by interface path, not by bus address; the transport takes the first
// programmer SetupAPI lists (see winusb_transport.h), so --device has nothing to choose from.
std::optional<UsbAccess> UsbAccess::FromDeviceOption(const std::string& device) {
  if (device.empty()) return UsbAccess("");
  std::fprintf(stderr, "--device: not available on Windows; attach one programmer at a time\n");
  return std::nullopt;
}

std::unique_ptr<link::UsbTransport> UsbAccess::CreateTransport() const {
  return std::make_unique<link::winusb::WinUsbTransport>();
}

std::string UsbAccess::DeviceName() const {
  return "usb";
}

std::optional<std::size_t> UsbAccess::List() const {
  link::winusb::WinUsbTransport transport;
  const auto paths = transport.ListDevicePaths(link::DeviceInterfaceGuid);
  for (const std::string& path : paths) std::printf("%s\n", path.c_str());
  return paths.size();
}

}  // namespace torv2::cli
