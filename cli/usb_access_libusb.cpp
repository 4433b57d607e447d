#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/usb_access.h"
#include "link/libusb/hotplug_monitor.h"
#include "link/libusb/libusb_transport.h"
#include "link/programmer_name.h"
#include "link/usb_link.h"

namespace torv2::cli {
namespace {

// "1-2.3", as Linux names the device in sysfs; empty when libusb cannot tell the ports.
std::string PortName(const link::AttachedProgrammer& p) {
  return link::PortName(p.address.bus, p.portPath);
}

AttachedProgrammer Described(const link::AttachedProgrammer& p) {
  return {p.address.ToString(), PortName(p),
          p.serialNumber,       std::string(link::GuidSourceName(p.source)),
          p.vendorId,           p.productId};
}

// libusb hotplug on a transport of its own that looks at every device.
class LibusbWatch final : public ProgrammerWatch {
 public:
  LibusbWatch(std::unique_ptr<link::LibusbTransport> transport,
              std::function<void(bool, const AttachedProgrammer&)> onChange)
      : transport_(std::move(transport)),
        monitor_(
            *transport_,
            [f = std::move(onChange)](const link::ProgrammerChange& change) {
              f(change.event == link::DeviceEvent::Arrival, Described(change.programmer));
            },
            true) {}
  bool active() const { return monitor_.active(); }

 private:
  std::unique_ptr<link::LibusbTransport> transport_;
  link::HotplugMonitor monitor_;  // after the transport, which it uses
};

// "1-2.3" back into bus 1 and ports {2, 3}; nullopt for anything else.
std::optional<std::pair<std::uint8_t, std::vector<std::uint8_t>>> ParsePortName(
    const std::string& name) {
  const auto number = [](const std::string& digits) -> std::optional<std::uint8_t> {
    if (digits.empty() || digits.size() > 3 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    const int value = std::stoi(digits);
    if (value > 255) return std::nullopt;
    return static_cast<std::uint8_t>(value);
  };
  const std::size_t dash = name.find('-');
  if (dash == std::string::npos) return std::nullopt;
  const auto bus = number(name.substr(0, dash));
  if (!bus) return std::nullopt;
  std::vector<std::uint8_t> ports;
  std::size_t from = dash + 1;
  for (;;) {
    const std::size_t dot = name.find('.', from);
    const auto port = number(name.substr(from, dot == std::string::npos ? dot : dot - from));
    if (!port) return std::nullopt;
    ports.push_back(*port);
    if (dot == std::string::npos) break;
    from = dot + 1;
  }
  return std::pair{*bus, ports};
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
       transport->List(link::DeviceInterfaceGuid, link::kControlRequestTimeout, unchecked)) {
    out.push_back(Described(p));
  }
  return out;
}

std::unique_ptr<ProgrammerWatch> WatchProgrammers(
    std::function<void(bool arrived, const AttachedProgrammer& programmer)> onChange) {
  auto transport = link::LibusbTransport::Create();
  if (!transport) {
    std::fprintf(stderr, "USB cannot be used on this machine\n");
    return nullptr;
  }
  auto watch = std::make_unique<LibusbWatch>(std::move(transport), std::move(onChange));
  if (!watch->active()) {
    std::fprintf(stderr, "this machine does not tell when USB devices arrive (libusb hotplug)\n");
    return nullptr;
  }
  return watch;
}

bool CanNameProgrammers() {
  return true;
}

std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only) {
  // The programmer is followed by what stays when it re-enumerates (after a reset it comes back
  // at a new address): its serial number and its port. Its address, however it was named, is
  // only how it was found in the list.
  link::LibusbOptions options;
  if (only) {
    options.onlySerial = only->serial;
    if (const auto port = ParsePortName(only->port)) {
      options.onlyBus = port->first;
      options.onlyPortPath = port->second;
    } else if (only->serial.empty()) {
      options.onlyDevice = link::UsbAddress::Parse(only->address);  // nothing else to go by
    }
  }
  std::unique_ptr<link::UsbTransport> transport = link::LibusbTransport::Create(options);
  if (!transport) std::fprintf(stderr, "USB cannot be used on this machine\n");
  return transport;
}

}  // namespace torv2::cli
