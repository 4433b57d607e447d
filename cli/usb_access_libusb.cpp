#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/usb_access.h"
#include "link/libusb/libusb_transport.h"
#include "link/usb_link.h"

namespace torv2::cli {
namespace {

// "1-2.3", as Linux names the device in sysfs; empty when libusb cannot tell the ports.
std::string PortName(const link::AttachedProgrammer& p) {
  if (p.portPath.empty()) return {};
  std::string name = std::to_string(p.address.bus) + "-";
  for (std::size_t i = 0; i < p.portPath.size(); ++i) {
    name += (i ? "." : "") + std::to_string(p.portPath[i]);
  }
  return name;
}

// The other way round: "1-2.3" to bus 1, ports {2, 3}; nullopt for anything else.
std::optional<link::LibusbOptions::Port> ParsePortName(std::string_view name) {
  link::LibusbOptions::Port port;
  int number = -1;
  bool sawBus = false;
  for (const char c : name) {
    if (c >= '0' && c <= '9') {
      number = (number < 0 ? 0 : number * 10) + (c - '0');
      if (number > 255) return std::nullopt;
    } else if (c == (sawBus ? '.' : '-') && number >= 0) {
      if (sawBus) {
        port.path.push_back(static_cast<std::uint8_t>(number));
      } else {
        port.bus = static_cast<std::uint8_t>(number);
      }
      sawBus = true;
      number = -1;
    } else {
      return std::nullopt;
    }
  }
  if (!sawBus || number < 0) return std::nullopt;
  port.path.push_back(static_cast<std::uint8_t>(number));
  return port;
}

}  // namespace

std::optional<std::vector<AttachedProgrammer>> ListAttachedProgrammers() {
  const auto transport = link::LibusbTransport::Create();
  if (!transport) {
    std::fprintf(stderr, "USB cannot be used on this machine\n");
    return std::nullopt;
  }
  std::vector<AttachedProgrammer> out;
  for (const auto& p : transport->List(link::DeviceInterfaceGuid, link::LinkTimeouts{}.atOpen)) {
    out.push_back({p.address.ToString(), PortName(p), p.serialNumber,
                   std::string(link::GuidSourceName(p.source))});
  }
  return out;
}

std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only) {
  link::LibusbOptions options;
  if (only) {
    // By its port where libusb tells it: the address changes when the programmer restarts.
    options.onlyPort = ParsePortName(only->port);
    if (!options.onlyPort) options.onlyDevice = link::UsbAddress::Parse(only->address);
  }
  std::unique_ptr<link::UsbTransport> transport = link::LibusbTransport::Create(options);
  if (!transport) std::fprintf(stderr, "USB cannot be used on this machine\n");
  return transport;
}

}  // namespace torv2::cli
