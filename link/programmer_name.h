#pragma once
// How a programmer is named to people: by the command line's output and --device, by the
// desktop program, and in the history, so that one programmer has one name everywhere.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torv2::link {

// "1-2.3": the bus, then the port path from the root hub, as Linux names the device in sysfs;
// empty when the ports are unknown.
std::string PortName(std::uint8_t bus, const std::vector<std::uint8_t>& portPath);

// Text a device supplied (a serial number, a product name, an interface path), as it may go to
// a terminal or a log: each control character (C0, DEL, C1) becomes "\xNN" ("\u0085" for C1),
// a byte that is not part of UTF-8 "\xNN", and the backslash "\\"; the rest stays as it is.
std::string Printable(std::string_view text);

// The programmer's name: its serial number when it has one (the name follows the device from
// port to port), else its port (the name stays with the socket), else its bus address; Printable,
// since it goes into every line about the programmer.
std::string ProgrammerName(std::string_view serial, std::string_view port,
                           std::string_view address);

}  // namespace torv2::link
