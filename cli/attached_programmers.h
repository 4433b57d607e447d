#pragma once
// How the command line names attached programmers, and which of them a command acts on.
//
// A programmer goes by its serial number when it has one (the name follows the device from port
// to port), else by its port (bus and port path, "1-2.3": the name stays with the socket it is
// plugged into). --device also accepts the port or the bus address of a programmer that has a
// serial number (on Windows: the port, the location path or the interface path). Two programmers
// that go by the same name are never guessed between: both are refused, and the message says how to
// name them apart.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/programmer_name.h"
namespace torv2::cli {

struct AttachedProgrammer {
  std::string address;         // "001:004": where the programmer is on the bus right now
  std::string port;            // "1-2.3"; empty when the platform cannot tell
  std::string serial;          // empty when the device has none
  std::string detail;          // shown by `list` after the rest, e.g. "MS OS 2.0"
  std::uint16_t vendorId = 0;  // 0 where the platform does not tell
  std::uint16_t productId = 0;
  // Windows: the device's interface path (\\?\usb#vid_...), shown by `list`, and its location
  // path (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)), the port in full; --device takes either.
  // Empty on Linux, where `address` says where the programmer is.
  std::string interfacePath;
  std::string locationPath;
};

using link::Printable;

// Whether two Windows paths name the same thing: Windows compares them without regard to case, and
// writes them either way.
bool SameWindowsPath(std::string_view a, std::string_view b);

// A Windows path as Windows writes it (--device takes it so): printable ASCII as it stands,
// anything else escaped as Printable() does.
std::string PathText(std::string_view path);

// The programmer's name (link::ProgrammerName): --device takes the name as shown.
std::string IdentityOf(const AttachedProgrammer& programmer);

// "VIRTUAL1  port 1-2  address 001:003  serial VIRTUAL1  (MS OS 2.0)", with a warning when
// another programmer in `all` goes by the same name.
std::string ListLine(const AttachedProgrammer& programmer, std::span<const AttachedProgrammer> all);

struct Selection {
  std::vector<std::size_t> chosen;    // indices into the programmers, in their order
  std::vector<std::string> refusals;  // one message for each name that could not be used
};

// --all: every programmer, except those that share their name with another.
Selection SelectAll(std::span<const AttachedProgrammer> programmers);

// Neither --device nor --all: the programmer when only one is attached. With several, none is
// guessed at: the refusal lists them and says how to name one for `command`.
Selection SelectUnnamed(std::span<const AttachedProgrammer> programmers, std::string_view command);

// --device TEXT: the one programmer whose name, port or address is TEXT. Nothing is chosen when
// no programmer or more than one answers to TEXT.
Selection SelectNamed(std::span<const AttachedProgrammer> programmers, std::string_view text);

}  // namespace torv2::cli
