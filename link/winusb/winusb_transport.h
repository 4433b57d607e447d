#pragma once
// The transport on Windows: SetupAPI finds the programmer by its device interface class, the
// device file is opened for overlapped I/O and WinUSB runs the bulk pipes of alternate setting 0.
//
// Which programmer: the first device of the interface class in SetupAPI's order whose interface
// path can be read. With several programmers attached the others are never opened; when that first
// one cannot be opened (another program holds it), the open fails rather than moving on to a
// different programmer, so an upgrade never lands on a device the user did not see checked.
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
#include <string>
#include <vector>

#include "link/usb_transport.h"
#include "link/winusb/winusb_api.h"

namespace torv2::link::winusb {

struct WinUsbOptions {
  // How long a transfer may outlast its own time-out before it is aborted here: a guard against a
  // driver that never completes it.
  std::chrono::milliseconds completionSlack{2'000};
};

class WinUsbTransport final : public UsbTransport {
 public:
  explicit WinUsbTransport(const WinUsbApi& api = SystemWinUsbApi(), WinUsbOptions options = {});

  std::unique_ptr<UsbDevice> OpenDevice(const Guid& interfaceClass,
                                        std::chrono::milliseconds setupTimeout) override;

  // The interface paths of every attached device of the class, in SetupAPI's order; nothing is
  // opened.
  std::vector<std::string> ListDevicePaths(const Guid& interfaceClass);

 private:
  const WinUsbApi& api_;
  WinUsbOptions options_;
};

// The GUID structure Windows uses for `guid`.
GUID ToWindowsGuid(const Guid& guid);

}  // namespace torv2::link::winusb
