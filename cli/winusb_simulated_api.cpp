#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli/winusb_api_source.h"
#include "emulator/winusb/simulated_usb_options.h"

namespace torv2::cli {

// The test program's Windows: simulated, with the programmers TORV2_SIMULATED_USB asks for in the
// launcher's option names ("--count 3 --fault chunk-ack:3:unplug --held VIRTUAL2"); one
// programmer when it is not set. A setting that cannot be read ends the program (exit code 64).
const link::winusb::WinUsbApi& CliWinUsbApi() {
  using emulator::winusb::SimulatedWindows;
  static const std::unique_ptr<SimulatedWindows> world = [] {
    const char* text = std::getenv("TORV2_SIMULATED_USB");
    std::string error;
    auto setup = emulator::winusb::ParseSimulatedUsb(text ? text : "", error);
    if (!setup) {
      std::fprintf(stderr, "TORV2_SIMULATED_USB: %s\n", error.c_str());
      std::exit(64);
    }
    return std::make_unique<SimulatedWindows>(std::move(setup->devices), setup->options);
  }();
  return world->api();
}

}  // namespace torv2::cli
