#pragma once
// The transport on Windows: SetupAPI finds the programmer by its device interface class, the
// device file is opened for overlapped I/O and WinUSB runs the bulk pipes of alternate setting 0.
//
// Which programmer: the first device of the interface class in SetupAPI's order whose interface
// path can be read and that the options let the transport take (its serial number, else its port,
// else its interface path; device_identity.h). The others are never opened; when that first one
// cannot be opened (another program holds it), the open fails rather than moving on to a different
// programmer, so an upgrade never lands on a device the user did not see checked.
//
// A programmer this transport opened is preferred while it is attached: after it is told to
// restart it comes back as a new device (the old handle is dead) and is found again by its serial
// number (then with the same instance ID and interface path), else its port, else its interface
// path; while it is away, no other programmer is opened in its place.
//
// Time-outs: the pipes get PIPE_TRANSFER_TIMEOUT (the setup time-out) when the device opens, and
// each transfer sets its own time-out on its pipe just before it starts. Every other pipe policy
// keeps WinUSB's default (partial reads allowed, no auto-flush); the link's own receive buffer asks
// for whole packets anyway.
//
// Threads: one thread at a time uses the transport and its devices; UsbDevice::Cancel() may come
// from any thread. A transfer runs overlapped and waits for its completion or for Cancel(), which
// aborts it at once.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/usb_transport.h"
#include "link/winusb/winusb_api.h"

namespace torv2::link::winusb {

// Which programmer, by what stays when it re-enumerates: its serial number when it has one, else
// its port; or, where neither is known, its interface path. Empty: any.
struct ProgrammerChoice {
  std::string serial;
  std::string port;           // as PortLocation::name: "pci1400-2.3"
  std::string interfacePath;  // compared without regard to case, as Windows does

  bool Any() const { return serial.empty() && port.empty() && interfacePath.empty(); }
};

struct WinUsbOptions {
  // How long a transfer may outlast its own time-out before it is aborted here: a guard against a
  // driver that never completes it.
  std::chrono::milliseconds completionSlack{2'000};
  // Only this programmer; the others are left alone.
  ProgrammerChoice only;
};

// An attached device of the interface class, as SetupAPI describes it; nothing is opened to know.
struct WinUsbProgrammer {
  std::string name;           // link::ProgrammerName of the serial number, port, interface path
  std::string serial;         // empty when the device has none (device_identity.h)
  std::string port;           // "pci1400-2.3"; empty without a well-formed PCIROOT location path
  std::string locationPath;   // PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3); empty with it
  std::string interfacePath;  // \\?\usb#vid_1209&pid_7a72#...#{guid}
  std::string instanceId;     // USB\VID_1209&PID_7A72\SERIAL; empty when it cannot be read

  // How the transport finds it again: by its serial number, else its port, else its path.
  ProgrammerChoice Choice() const;
};

class WinUsbTransport final : public UsbTransport {
 public:
  explicit WinUsbTransport(const WinUsbApi& api = SystemWinUsbApi(), WinUsbOptions options = {});

  std::unique_ptr<UsbDevice> OpenDevice(const Guid& interfaceClass,
                                        std::chrono::milliseconds setupTimeout) override;
  OpenOutcome LastOpenOutcome() const override { return lastOpen_; }
  void ProgrammerRestarts() override { restarting_ = lastOpened_.has_value(); }

  // Every attached device of the class that the options let the transport take, in SetupAPI's
  // order; nothing is opened.
  std::vector<WinUsbProgrammer> List(const Guid& interfaceClass);

  // The interface paths of the same devices.
  std::vector<std::string> ListDevicePaths(const Guid& interfaceClass);

 private:
  std::unique_ptr<UsbDevice> Open(const WinUsbProgrammer& programmer);

  const WinUsbApi& api_;
  WinUsbOptions options_;
  std::optional<ProgrammerChoice> lastOpened_;  // the programmer opened last
  bool restarting_ = false;                     // lastOpened_ restarts: open it again, no other
  OpenOutcome lastOpen_;
};

// The GUID structure Windows uses for `guid`.
GUID ToWindowsGuid(const Guid& guid);

}  // namespace torv2::link::winusb
