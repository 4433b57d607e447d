#pragma once
// Who a programmer is on Windows, from what SetupAPI says of its device: the serial number from its
// device instance ID, the port from its location paths. Both come from the system's registry and
// so from the device; neither is believed beyond what is checked here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace torv2::link::winusb {

// The longest device instance ID Windows makes (MAX_DEVICE_ID_LEN), without its NUL.
inline constexpr std::size_t kMaxInstanceIdLength = 199;
// The most bytes of SPDRP_LOCATION_PATHS read, and the longest single location path believed.
inline constexpr std::size_t kMaxLocationPathsSize = 4096;
inline constexpr std::size_t kMaxLocationPathLength = 512;

// The serial number in a device instance ID "USB\VID_1209&PID_7A72\SERIAL"; empty when the device
// has none. Windows makes up the last part (it holds an '&') for a device without a usable serial
// number, or one whose serial number another attached device already has.
std::string SerialFromInstanceId(std::string_view instanceId);

// Where a device is plugged in.
struct PortLocation {
  // The host controller and the hubs' ports, compact: "pci1400-2.3" for
  // PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3). A PCI root other than 0 goes before a colon
  // ("pci1:0300-4"), a bridge's function after a dot ("pci1C00.0000-1"), a USB root other than 0
  // after a slash ("pci1400/1-2"), so two controllers never give one name.
  std::string name;
  std::string locationPath;  // the PCIROOT(...) entry as Windows wrote it
};

// The port of one location path; nullopt when it is not a well-formed PCIROOT path to a USB port.
std::optional<PortLocation> PortOfLocationPath(std::string_view locationPath);

// The port from SPDRP_LOCATION_PATHS (a REG_MULTI_SZ: strings, each ending with a NUL, then an
// empty one): the first well-formed PCIROOT entry; nullopt when there is none. A last string
// without its NUL may have been cut short and is not taken.
std::optional<PortLocation> PortFromLocationPaths(std::span<const std::uint8_t> data);

}  // namespace torv2::link::winusb
