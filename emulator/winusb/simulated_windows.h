#pragma once
// A simulated Windows USB stack behind the WinUSB transport's function table: SetupAPI's device
// sets, the device files and WinUSB, over N virtual programmers that behave like the hardware.
//
// It behaves as Windows does, not as the host expects it to:
// - SetupDiGetClassDevsA(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) lists the devices on the bus that
//   expose the programmer's interface class, in the order they were plugged into the world. Every
//   size query fails with ERROR_INSUFFICIENT_BUFFER first and reports the size it needs.
// - A device's instance ID is USB\VID_vvvv&PID_pppp\SERIAL, or, without a serial number, one made
//   from its port (with '&' in its last part). Its interface path is made from the instance ID
//   and the interface class, and its location paths (SPDRP_LOCATION_PATHS) name its controller
//   and hub ports; both stay the same when it re-enumerates on the same port.
// - One program at a time: a device file that is open (here or, by a knob, in another program)
//   refuses a second CreateFileA with ERROR_ACCESS_DENIED whatever the share flags; a path that
//   names no device on the bus fails with ERROR_FILE_NOT_FOUND.
// - Transfers are overlapped: they return ERROR_IO_PENDING and end later, setting the OVERLAPPED's
//   event. A read ends on a short packet or a full buffer; with ALLOW_PARTIAL_READS (the default)
//   the rest of a packet that did not fit is kept for the next read. A read that reaches its
//   pipe's PIPE_TRANSFER_TIMEOUT ends with ERROR_SEM_TIMEOUT, and what the device sends later
//   stays queued. WinUsb_AbortPipe ends pending transfers with ERROR_OPERATION_ABORTED; a stalled
//   pipe fails them with ERROR_GEN_FAILURE; on a device that left the bus every call fails with
//   ERROR_DEVICE_NOT_CONNECTED, and its handles stay dead when it comes back.
// - The device's state lives with the device: opening, closing and WinUsb_Initialize change
//   nothing on it. "ResetNow" takes it off the bus once the host has read the acknowledgement;
//   the firmware restarts and, after the re-enumeration delay, it is back under the same instance
//   ID and interface path.
// - A window registered with RegisterDeviceNotificationW for the programmer's interface class is
//   sent WM_DEVICECHANGE (DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEARRIVAL with the interface's path)
//   whenever a device leaves the bus or comes onto it: unplugged, plugged in, restarting and back
//   after its re-enumeration delay. The messages go in the order things happened, one at a time,
//   from a thread of the world's own (as the system sends them), never while the world is locked;
//   devices on the bus when the world starts are not announced.
//
// Only one world exists at a time (the table's entries are plain functions). Its calls may come
// from any thread; a thread of its own ends reads at their time-outs.

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulator/timed_event.h"
#include "emulator/virtual_programmer.h"
#include "link/winusb/winusb_api.h"

namespace torv2::emulator::winusb {

// Where a device is plugged in: the PCI function of its host controller and the port on each hub
// from the root hub down ({2}: port 2 of the root hub; {1, 3}: port 3 of a hub on port 1).
struct UsbPort {
  std::uint16_t controller = 0x1400;
  std::vector<std::uint8_t> ports{1};
};

struct SimulatedDevice {
  std::string serial = "VIRTUAL1";  // empty: the device has no serial number
  UsbPort port;
  DeviceSettings settings;
  Faults faults;
  bool carriesGuid = true;     // false: a USB device of another interface class
  bool attached = true;        // on the bus when the world starts
  bool heldElsewhere = false;  // another program has its device file open
  bool acpiPathFirst = false;  // its location paths list the ACPI path first
  std::chrono::milliseconds reenumerationDelay{0};  // off the bus after "ResetNow"
  // A fault that takes it off the bus (KIND unplug) plugs it back in this long afterwards.
  std::optional<std::chrono::milliseconds> comesBackAfter;
};

// Something done to a device at a time after the world started, as a person at the bench would.
struct TimedAction {
  using Action = TimedEvent::Action;  // Replug: out and in again at once
  Action action;
  std::size_t device;  // index
  std::chrono::milliseconds at;
};

struct WorldOptions {
  // The last device starts off the bus and is plugged in when another one takes "ResetNow".
  bool lastArrivesOnReset = false;
  // Done in time order; each is said on stderr as it happens.
  std::vector<TimedAction> timeline;
};

class SimulatedWindows {
 public:
  explicit SimulatedWindows(std::vector<SimulatedDevice> devices, WorldOptions options = {});
  ~SimulatedWindows();
  SimulatedWindows(const SimulatedWindows&) = delete;
  SimulatedWindows& operator=(const SimulatedWindows&) = delete;

  const link::winusb::WinUsbApi& api() const;

  std::size_t size() const;
  // What Windows shows of device `index`.
  std::string InstanceId(std::size_t index) const;
  std::string InterfacePath(std::size_t index) const;
  std::string LocationPaths(std::size_t index) const;  // REG_MULTI_SZ, with its NULs

  // The model of device `index`, locked while `f` runs; what it sent meanwhile reaches waiting
  // reads afterwards.
  template <class F>
  decltype(auto) WithProgrammer(std::size_t index, F&& f) {
    Access access(*this, index);
    return f(access.programmer());
  }

  // --- knobs ---
  void Unplug(std::size_t index);  // off the bus: pending and later calls fail, handles die
  // Power comes back: the firmware starts over, the flash kept. A device that re-enumerates is
  // back at once.
  void Replug(std::size_t index);
  // What "ResetNow" does, without the command: off the bus at once (handles die), the firmware
  // restarts, and the device is back after its re-enumeration delay or at Replug().
  void Reenumerate(std::size_t index);
  void SetHeldElsewhere(std::size_t index, bool held);
  // A halted endpoint: its transfers fail with ERROR_GEN_FAILURE until it is cleared.
  void Stall(std::size_t index, std::uint8_t pipe, bool stalled = true);
  void SetReenumerationDelay(std::size_t index, std::chrono::milliseconds delay);

  // --- observation ---
  bool OnTheBus(std::size_t index) const;
  std::size_t reenumerations(std::size_t index) const;
  std::size_t opens(std::size_t index) const;  // device files this program opened on it
  // Handles handed out and not yet released.
  int heldSets() const;
  int heldFiles() const;
  int heldInterfaces() const;
  int pendingTransfers() const;
  int registrations() const;  // device notifications registered and not yet unregistered

  struct State;

 private:
  class Access {
   public:
    Access(SimulatedWindows& world, std::size_t index);
    ~Access();
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    VirtualProgrammer& programmer();

   private:
    SimulatedWindows& world_;
    std::size_t index_;
    std::unique_lock<std::mutex> lock_;
  };

  std::unique_ptr<State> state_;
};

}  // namespace torv2::emulator::winusb
