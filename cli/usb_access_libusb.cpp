#include <cstdio>

#include "cli/usb_access.h"
#include "link/libusb/libusb_transport.h"
#include "link/usb_link.h"

namespace torv2::cli {
namespace {

// "1-2.3", as Linux names the device in sysfs; empty when libusb cannot tell the ports.
std::string PortName(const link::AttachedProgrammer& p) {
  return link::PortName(p.address.bus, p.portPath);
}

}  // namespace

std::optional<std::vector<AttachedProgrammer>> ListAttachedProgrammers(
    std::vector<link::UncheckedDevice>* unchecked) {
  const auto transport = link::LibusbTransport::Create();
  if (!transport) {
    std::fprintf(stderr, "USB cannot be used on this machine\n");
    return std::nullopt;
  }
  std::vector<AttachedProgrammer> out;
  for (const auto& p :
       transport->List(link::DeviceInterfaceGuid, link::LinkTimeouts{}.atOpen, unchecked)) {
    out.push_back({p.address.ToString(), PortName(p), p.serialNumber,
                   std::string(link::GuidSourceName(p.source)), p.vendorId, p.productId});
  }
  return out;
}

std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only) {
  link::LibusbOptions options;
  if (only) options.onlyDevice = link::UsbAddress::Parse(only->address);
  std::unique_ptr<link::UsbTransport> transport = link::LibusbTransport::Create(options);
  if (!transport) std::fprintf(stderr, "USB cannot be used on this machine\n");
  return transport;
}

}  // namespace torv2::cli
