#include <cstdio>

#include "cli/usb_access.h"
#include "link/libusb/libusb_transport.h"
#include "link/usb_link.h"

namespace torv2::cli {

std::optional<UsbAccess> UsbAccess::FromDeviceOption(const std::string& device) {
  if (device.empty()) return UsbAccess("");
  const auto address = link::UsbAddress::Parse(device);
  if (!address) {
    std::fprintf(stderr, "--device: not a BUS:ADDR: %s\n", device.c_str());
    return std::nullopt;
  }
  return UsbAccess(address->ToString());
}

std::unique_ptr<link::UsbTransport> UsbAccess::CreateTransport() const {
  std::unique_ptr<link::UsbTransport> transport =
      link::LibusbTransport::Create({.onlyDevice = link::UsbAddress::Parse(device_)});
  if (!transport) std::fprintf(stderr, "USB cannot be used on this machine\n");
  return transport;
}

std::string UsbAccess::DeviceName() const {
  return device_.empty() ? "usb" : device_;
}

std::optional<std::size_t> UsbAccess::List() const {
  auto transport = link::LibusbTransport::Create({.onlyDevice = link::UsbAddress::Parse(device_)});
  if (!transport) {
    std::fprintf(stderr, "USB cannot be used on this machine\n");
    return std::nullopt;
  }
  const auto programmers = transport->List(link::DeviceInterfaceGuid, link::LinkTimeouts{}.atOpen);
  for (const auto& p : programmers) {
    std::string port;
    for (std::uint8_t n : p.portPath) port += (port.empty() ? "" : ".") + std::to_string(n);
    std::printf("%s  port %u-%s  serial %s  (%.*s)\n", p.address.ToString().c_str(), p.address.bus,
                port.empty() ? "0" : port.c_str(),
                p.serialNumber.empty() ? "-" : p.serialNumber.c_str(),
                static_cast<int>(link::GuidSourceName(p.source).size()),
                link::GuidSourceName(p.source).data());
  }
  return programmers.size();
}

}  // namespace torv2::cli
