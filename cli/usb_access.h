#pragma once
// The command line's way to the programmers on this platform: libusb on Linux
// (usb_access_libusb.cpp), SetupAPI and WinUSB on Windows (usb_access_winusb.cpp).

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "cli/attached_programmers.h"
#include "link/usb_transport.h"

namespace torv2::cli {

// Every attached programmer, in the order the transport would pick them; nullopt, after saying
// why on stderr, when USB cannot be used on this machine. `unchecked`, when given, receives the
// devices that could not be opened to find out whether they are programmers.
std::optional<std::vector<AttachedProgrammer>> ListAttachedProgrammers(
    std::vector<link::UncheckedDevice>* unchecked = nullptr);

// Whether this platform can tell attached programmers apart, and so open one by its name.
bool CanNameProgrammers();

// A transport that opens `only` (as listed) or, without it, the first programmer it finds;
// nullptr, after saying why on stderr, when USB cannot be used or this platform cannot single a
// programmer out.
std::unique_ptr<link::UsbTransport> CreateUsbTransport(const AttachedProgrammer* only);

// Follows programmers coming and going for as long as it lives.
class ProgrammerWatch {
 public:
  virtual ~ProgrammerWatch() = default;
};

// Calls onChange(true, p) for every programmer attached now and every one that arrives, and
// onChange(false, p) for each that goes, one at a time on a thread of the watch's own (the first
// ones before this returns); onChange must not block. Null, after saying why on stderr, when this
// platform or machine cannot follow arrivals.
std::unique_ptr<ProgrammerWatch> WatchProgrammers(
    std::function<void(bool arrived, const AttachedProgrammer& programmer)> onChange);

}  // namespace torv2::cli
