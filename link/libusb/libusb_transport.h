#pragma once
// The transport on libusb: finds the programmer among the attached USB devices by the device
// interface GUID that its Microsoft OS descriptors announce (MS OS 2.0 descriptor set, else the
// MS OS 1.0 extended properties), claims that interface and runs bulk transfers on it.
//
// Devices are looked at in a fixed order, bus number then port path. A device is opened to read
// its descriptors, but only a device that carries the GUID is claimed and used for I/O.
//
// Threads: one thread at a time uses the transport and the devices it opens; UsbDevice::Cancel()
// may come from any thread. Transfers wait with libusb's completed-flag event handling, so other
// threads (a hotplug watcher) may handle events on the same context at the same time.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/usb_transport.h"

struct libusb_context;
struct libusb_device;

namespace torv2::link {

// Where a device is on the bus: "BUS:ADDR", both decimal ("3:7", "003:007").
struct UsbAddress {
  std::uint8_t bus = 0;
  std::uint8_t address = 0;

  static std::optional<UsbAddress> Parse(std::string_view text);
  std::string ToString() const;  // "003:007"
  friend bool operator==(const UsbAddress&, const UsbAddress&) = default;
};

struct LibusbOptions {
  // Look at this device only; the others are left alone.
  std::optional<UsbAddress> onlyDevice;
  // Or at the device on this port only (bus, and port numbers from the root hub), whatever its
  // address: a programmer that restarts ("ResetNow") comes back there at a new address.
  struct Port {
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> path;
  };
  std::optional<Port> onlyPort;
};

enum class GuidSource { MsOs20, MsOs10 };
std::string_view GuidSourceName(GuidSource source);  // "MS OS 2.0", "MS OS 1.0"

// An attached device that carries the interface class.
struct AttachedProgrammer {
  UsbAddress address;
  std::vector<std::uint8_t> portPath;  // port numbers from the root hub
  std::string serialNumber;            // empty when the device has none
  GuidSource source = GuidSource::MsOs20;
  std::uint8_t interfaceNumber = 0;
};

class LibusbTransport final : public UsbTransport {
 public:
  // nullptr when libusb cannot start.
  static std::unique_ptr<LibusbTransport> Create(LibusbOptions options = {});
  ~LibusbTransport() override;
  LibusbTransport(const LibusbTransport&) = delete;
  LibusbTransport& operator=(const LibusbTransport&) = delete;

  // The first device in bus and port order that carries the interface class, claimed; nullptr
  // when there is none or it cannot be claimed.
  std::unique_ptr<UsbDevice> OpenDevice(const Guid& interfaceClass,
                                        std::chrono::milliseconds setupTimeout) override;

  // Every attached device that carries the interface class, in the same order; none is claimed.
  std::vector<AttachedProgrammer> List(const Guid& interfaceClass,
                                       std::chrono::milliseconds setupTimeout);

  // What List() says of one device of this transport's context: nullopt when it does not carry
  // the interface class, cannot be opened, or is not one the options let the transport look at.
  // The device is opened to read its descriptors and closed again; nothing is claimed. Any
  // thread may call it, also while another thread uses the transport (a hotplug watcher checks
  // arrived devices this way).
  std::optional<AttachedProgrammer> Inspect(libusb_device* device, const Guid& interfaceClass,
                                            std::chrono::milliseconds setupTimeout) const;

  // The libusb context, for hotplug registration. It lives as long as the transport and every
  // device the transport has opened.
  libusb_context* context() const;

  struct Context;

 private:
  LibusbTransport(std::shared_ptr<Context> context, LibusbOptions options);

  std::shared_ptr<Context> context_;
  LibusbOptions options_;
};

}  // namespace torv2::link
