#pragma once
// The simulated Windows set up from a command line with the launcher's option names
// (emulator/with-virtual-programmer --help), e.g. "--count 3 --fault chunk-ack:3:unplug
// --held VIRTUAL2". Options the launcher has for emulated USB on Linux only (bus timing, the time
// line) are not taken here; --held is Windows' own.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/winusb/simulated_windows.h"

namespace torv2::emulator::winusb {

struct SimulatedUsbSetup {
  std::vector<SimulatedDevice> devices;
  WorldOptions options;
  std::string interruptEvent;  // the named event the test program takes as Ctrl-C; empty: none
};

// nullopt, with the reason in `error`, for a text that is not such a command line.
std::optional<SimulatedUsbSetup> ParseSimulatedUsb(std::string_view text, std::string& error);

// The words of a command line: split at spaces; '...' and "..." keep theirs ('' is an empty
// word). nullopt for a quote that is not closed.
std::optional<std::vector<std::string>> SplitWords(std::string_view text);

}  // namespace torv2::emulator::winusb
