#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "cli/interrupts.h"
#include "cli/winusb_api_source.h"
#include "emulator/winusb/simulated_usb_options.h"

namespace torv2::cli {
namespace {

// Takes the named event being set as Ctrl-C, for as long as it lives: the tests start this program
// without a console, where Wine cannot deliver Ctrl-C, and end a watch so.
class InterruptEvent {
 public:
  explicit InterruptEvent(const std::string& name)
      : event_(CreateEventA(nullptr, FALSE, FALSE, name.c_str())),
        quit_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (event_ == nullptr || quit_ == nullptr) {
      std::fprintf(stderr, "TORV2_SIMULATED_USB: cannot open the event %s\n", name.c_str());
      std::exit(64);
    }
    thread_ = std::thread([this] {
      const HANDLE both[] = {quit_, event_};
      while (WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        DeliverConsoleInterrupt();
      }
    });
  }
  ~InterruptEvent() {
    SetEvent(quit_);
    thread_.join();
    CloseHandle(quit_);
    CloseHandle(event_);
  }
  InterruptEvent(const InterruptEvent&) = delete;
  InterruptEvent& operator=(const InterruptEvent&) = delete;

 private:
  HANDLE event_;
  HANDLE quit_;
  std::thread thread_;
};

struct SimulatedWorld {
  std::unique_ptr<emulator::winusb::SimulatedWindows> windows;
  std::unique_ptr<InterruptEvent> interrupt;  // last: it goes first
};

}  // namespace

// The test program's Windows: simulated, with the programmers TORV2_SIMULATED_USB asks for in the
// launcher's option names ("--count 3 --fault chunk-ack:3:unplug --held VIRTUAL2"); one
// programmer when it is not set. A setting that cannot be read ends the program (exit code 64).
const link::winusb::WinUsbApi& CliWinUsbApi() {
  using emulator::winusb::SimulatedWindows;
  static const SimulatedWorld world = [] {
    const char* text = std::getenv("TORV2_SIMULATED_USB");
    std::string error;
    auto setup = emulator::winusb::ParseSimulatedUsb(text ? text : "", error);
    if (!setup) {
      std::fprintf(stderr, "TORV2_SIMULATED_USB: %s\n", error.c_str());
      std::exit(64);
    }
    SimulatedWorld made;
    made.windows = std::make_unique<SimulatedWindows>(std::move(setup->devices), setup->options);
    if (!setup->interruptEvent.empty()) {
      made.interrupt = std::make_unique<InterruptEvent>(setup->interruptEvent);
    }
    return made;
  }();
  return world.windows->api();
}

}  // namespace torv2::cli
