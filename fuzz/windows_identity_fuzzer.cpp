// The Windows naming of a programmer: the serial number taken from a device instance ID and the
// port taken from SPDRP_LOCATION_PATHS. Both come from the registry, and through it from the
// device (its serial number string) and the system.
//
// Holds: a serial number is a part of the instance ID, never longer than it, and without the '&'
// of an ID Windows made up; a port's location path is one of the list's strings with its NUL, its
// name is short printable ASCII, and that string, read alone, gives the same port.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "link/winusb/device_identity.h"

using namespace torv2::link::winusb;

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

bool PrintableAscii(std::string_view text) {
  for (const char c : text) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string serial = SerialFromInstanceId(text);
  Check(serial.size() <= text.size());
  Check(serial.find('&') == std::string::npos);
  Check(serial.empty() || text.find(serial) != std::string_view::npos);

  const auto port = PortFromLocationPaths(std::span(data, size));
  if (port) {
    Check(!port->name.empty() && port->name.size() <= kMaxLocationPathLength);
    Check(PrintableAscii(port->name));
    Check(port->locationPath.size() <= kMaxLocationPathLength);
    // It is one of the list's strings, with its NUL.
    Check(text.find(port->locationPath + '\0') != std::string_view::npos);
    // The entry taken is itself a well-formed location path, giving the same port.
    const auto again = PortOfLocationPath(port->locationPath);
    Check(again && again->name == port->name);
  }
  return 0;
}
