#pragma once
// A virtual programmer plugged into vhci_hcd: the model, its descriptors, and the USB/IP link
// of its current plug-in. The model outlives every plug-in (flash and counters survive an
// unplug, as on a real device).
//
// When the firmware drops off the bus (a fault) the device unplugs itself and stays away; on
// "ResetNow" it drops off once the host has read the acknowledgement and comes back after the
// options' `reenumerationDelay`, at a new address, with its firmware restarted.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "emulator/umockdev/umockdev_bed.h"
#include "emulator/usb/usb_descriptors.h"
#include "emulator/usbip/usbip_session.h"
#include "emulator/usbip/vhci_attach.h"
#include "emulator/virtual_programmer.h"

namespace torv2::emulator::usbip {

class VhciDevice {
 public:
  using Clock = std::chrono::steady_clock;

  VhciDevice(VirtualUsbOptions options, std::uint32_t devid);
  VhciDevice(const VhciDevice&) = delete;
  VhciDevice& operator=(const VhciDevice&) = delete;

  // Attaches a new plug-in (unplugging the current one first), on the port it had before if
  // it had one. Throws std::runtime_error.
  void Plug();
  // Closes the link: the kernel disconnects the port, and the firmware starts over when power
  // comes back. Nothing happens when not plugged in.
  void Unplug();
  bool pluggedIn() const { return static_cast<bool>(attachment_.socket); }
  // The kernel has enumerated the current plug-in.
  bool configured() const { return session_ && session_->configured(); }
  int fd() const { return attachment_.socket.get(); }
  int port() const { return attachment_.port; }
  const std::string& serial() const { return options_.serial; }

  // Reads what the kernel sent and answers it. A link the kernel closed, or one that broke the
  // protocol, is unplugged (lastError() says why).
  void OnReadable();
  // When the device is due to come back after a re-enumeration; nullopt when not.
  std::optional<Clock::time_point> replugDue() const { return replugDue_; }
  // Comes back when the re-enumeration is due.
  void OnTime(Clock::time_point now);
  const std::string& lastError() const { return lastError_; }
  int plugs() const { return plugs_; }

 private:
  // Sends `bytes` to the kernel; false when the link is gone.
  bool Send(const std::vector<std::uint8_t>& bytes);
  // After the model ran: a firmware that left the bus, or restarted on "ResetNow".
  void AfterModelRan();

  const VirtualUsbOptions options_;
  const usb::Descriptors descriptors_;
  const std::uint32_t devid_;
  VirtualProgrammer programmer_;
  Attachment attachment_;
  std::optional<UsbipSession> session_;
  std::optional<Clock::time_point> replugDue_;
  std::optional<Clock::time_point> portWaitEnds_;  // a replug waits this long for its port
  std::string lastError_;
  int plugs_ = 0;
};

}  // namespace torv2::emulator::usbip
