#pragma once
// Follows programmers coming and going on USB: libusb hotplug on a libusb context of the
// monitor's own, made when the monitor starts, with a thread of its own that alone handles that
// context's events and checks every arrived device for the programmer's interface class the way
// the transport does.
//
//   HotplugMonitor monitor(transport, [](DeviceEvent e) { /* queue it to the GUI thread */ });
//
// Devices attached when the monitor starts are checked before the constructor returns, and
// remembered, not announced: the caller has looked at the bus itself just before. After that, an
// arrived device that carries DeviceInterfaceGuid gives Arrival; a device without it (a mouse, a
// decoy) gives nothing. A removed device gives Removal only when it was known as a programmer.
//
// Lifetime: the transport must outlive the monitor. Other threads may use the transport
// meanwhile (a job's transfers): they drive the transport's context, never the monitor's, so
// they cannot hold up the monitor's events nor its stop.

#include <functional>
#include <memory>

#include "link/device_event.h"
#include "link/libusb/libusb_transport.h"

namespace torv2::link {

// A programmer that came or went, as LibusbTransport::List() describes it (a removal carries what
// its arrival said).
struct ProgrammerChange {
  DeviceEvent event = DeviceEvent::Arrival;
  AttachedProgrammer programmer;
};

class HotplugMonitor {
 public:
  // Calls onEvent on the monitor's own thread, one event at a time, in the order the devices
  // came and went. onEvent must not throw, destroy the monitor, nor wait for the thread that
  // destroys it (post the event on, don't block on it).
  HotplugMonitor(LibusbTransport& transport, std::function<void(DeviceEvent)> onEvent);
  // The same, with each programmer's description. With `announceAttached`, the programmers
  // attached when the monitor starts are announced as arrivals too, from the constructor's thread
  // before it returns (for a caller that takes every programmer, present or to come).
  HotplugMonitor(LibusbTransport& transport, std::function<void(const ProgrammerChange&)> onChange,
                 bool announceAttached);
  // Stops and joins the thread; changes not yet looked at are dropped, and onEvent is not called
  // once the destructor has returned. It waits for nothing but the monitor's own thread, which
  // is at most checking one arrived device (each request bounded). Not from inside a libusb
  // callback.
  ~HotplugMonitor();
  HotplugMonitor(const HotplugMonitor&) = delete;
  HotplugMonitor& operator=(const HotplugMonitor&) = delete;

  // False when libusb offers no hotplug here (or refused the registration): no event will come.
  bool active() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace torv2::link
