#include <cstdio>

#include "cli/usb_access.h"
#include "cli/winusb_api_source.h"
#include "link/winusb/winusb_transport.h"

namespace torv2::cli {

// A programmer goes by its serial number from its instance ID, else by its port (its host
// controller and hub ports, from its location path), else by its interface path.
std::optional<std::vector<AttachedProgrammer>> ListAttachedProgrammers(
    std::vector<link::UncheckedDevice>*) {
  link::winusb::WinUsbTransport transport(CliWinUsbApi());
  std::vector<AttachedProgrammer> out;
  for (const auto& p : transport.List(link::DeviceInterfaceGuid)) {
    AttachedProgrammer listed;
    listed.port = p.port;
    listed.serial = p.serial;
    listed.interfacePath = p.interfacePath;
    listed.locationPath = p.locationPath;
    out.push_back(std::move(listed));
  }
  return out;
}

std::unique_ptr<ProgrammerWatch> WatchProgrammers(
    std::function<void(bool arrived, const AttachedProgrammer& programmer)>) {
  std::fprintf(stderr, "waiting for programmers to arrive is not available on Windows yet\n");
  return nullptr;
}

bool CanNameProgrammers() {
  return true;
}

std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only) {
  // The programmer is followed by what stays when it restarts (it comes back as a new device):
  // its serial number, else its port; its interface path only where neither is known.
  link::winusb::WinUsbOptions options;
  if (only) {
    if (!only->serial.empty()) {
      options.only.serial = only->serial;
    } else if (!only->port.empty()) {
      options.only.port = only->port;
    } else {
      options.only.interfacePath = only->interfacePath;
    }
  }
  return std::make_unique<link::winusb::WinUsbTransport>(CliWinUsbApi(), std::move(options));
}

}  // namespace torv2::cli
