#pragma once
// The registration that delivers a programmer's arrival and removal to the window.
// Whoever watches the bus (libusb hotplug, the system's device notifications, a test) may call
// back on any thread; the window takes each event over to its GUI thread.

#include <functional>
#include <memory>

#include "link/device_event.h"

namespace torv2::window {

// Keeps a registration alive; destroying it ends the callbacks before the destructor returns.
class DeviceNotification {
 public:
  virtual ~DeviceNotification() = default;
};

using RegisterDeviceNotification = std::function<std::unique_ptr<DeviceNotification>(
    std::function<void(link::DeviceEvent)> onEvent)>;

}  // namespace torv2::window
