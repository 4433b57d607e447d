#pragma once
// The transport on libusb: finds the programmer among the attached USB devices by the device
// interface GUID that its Microsoft OS descriptors announce (MS OS 2.0 descriptor set, else the
// MS OS 1.0 extended properties), claims that interface and runs bulk transfers on it.
//
// Devices are looked at in a fixed order, bus number then port path. A device is opened to read
// its descriptors, but only a device that carries the GUID is claimed and used for I/O. A device
// without a bulk IN and a bulk OUT endpoint cannot carry the protocol and is not opened at all; a
// device that cannot be opened (no permission, gone) is passed over and noted, and the others
// are looked at all the same.
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

// Which programmer a transport works with. A bus address names a device only as it is now:
// it changes whenever the device re-enumerates (a reset, replugging). The serial number and the
// port stay, so a programmer named by either is found again after it comes back.
struct LibusbOptions {
  // Look at this device only; the others are left alone.
  std::optional<UsbAddress> onlyDevice;
  // Only a programmer with this serial number.
  std::string onlySerial;
  // Only a programmer on this port: bus, then the port numbers from the root hub.
  std::optional<std::uint8_t> onlyBus;
  std::vector<std::uint8_t> onlyPortPath;
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
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

class LibusbTransport final : public UsbTransport {
 public:
  // nullptr when libusb cannot start.
  static std::unique_ptr<LibusbTransport> Create(LibusbOptions options = {});
  ~LibusbTransport() override;
  LibusbTransport(const LibusbTransport&) = delete;
  LibusbTransport& operator=(const LibusbTransport&) = delete;

  // The first device in bus and port order that carries the interface class, claimed; nullptr
  // when there is none or it cannot be claimed. A programmer this transport opened before is
  // preferred while it is attached: a device that re-enumerated (told to restart) is found again
  // by its serial number, else its port, at its new address; while it restarts, no other is
  // opened in its place.
  std::unique_ptr<UsbDevice> OpenDevice(const Guid& interfaceClass,
                                        std::chrono::milliseconds setupTimeout) override;
  OpenOutcome LastOpenOutcome() const override { return lastOpen_; }
  void ProgrammerRestarts() override { restarting_ = lastOpened_.has_value(); }

  // Every attached device that carries the interface class, in the same order; none is claimed.
  // `unchecked`, when given, receives the devices that could not be opened to find out.
  std::vector<AttachedProgrammer> List(const Guid& interfaceClass,
                                       std::chrono::milliseconds setupTimeout,
                                       std::vector<UncheckedDevice>* unchecked = nullptr);

  // What List() says of one device (of this transport's context or any other): nullopt when it does
  // not carry the interface class, cannot be opened, or is not one the options let the transport
  // look at. The device is opened to read its descriptors and closed again; nothing is claimed. Any
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
  // The programmer opened last: its serial number, else its port.
  struct Identity {
    std::string serial;
    std::uint8_t bus = 0;
    std::vector<std::uint8_t> portPath;
  };
  std::optional<Identity> lastOpened_;
  bool restarting_ = false;  // lastOpened_ restarts: open it again, and no other
  OpenOutcome lastOpen_;
};

}  // namespace torv2::link
