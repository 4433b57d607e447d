#include <cstdio>

#include "cli/usb_access.h"
#include "cli/winusb_api_source.h"
#include "link/winusb/winusb_transport.h"

namespace torv2::cli {

// Windows names devices by interface path, not by port; the list shows those paths.
std::optional<std::vector<AttachedProgrammer>> ListAttachedProgrammers(
    std::vector<link::UncheckedDevice>*) {
  link::winusb::WinUsbTransport transport(CliWinUsbApi());
  std::vector<AttachedProgrammer> out;
  for (const std::string& path : transport.ListDevicePaths(link::DeviceInterfaceGuid)) {
    out.push_back({path, "", "", ""});
  }
  return out;
}

bool CanNameProgrammers() {
  return false;
}

// The transport takes the first programmer SetupAPI lists (see winusb_transport.h), so a
// programmer cannot be singled out here.
std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only) {
  if (only) {
    std::fprintf(stderr,
                 "--device and --all: not available on Windows; attach one programmer at a time\n");
    return nullptr;
  }
  return std::make_unique<link::winusb::WinUsbTransport>(CliWinUsbApi());
}

}  // namespace torv2::cli
