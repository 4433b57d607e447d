#pragma once
// Device arrival and removal as the window sees them, and the registration that delivers them.
// Whoever watches the bus (libusb hotplug, the system's device notifications, a test) may call
// back on any thread; the window takes each event over to its GUI thread.

#include <functional>
#include <memory>

namespace torv2::window {

enum class DeviceEvent { Arrival, Removal };

// Keeps a registration alive; destroying it ends the callbacks before the destructor returns.
class DeviceNotification {
 public:
  virtual ~DeviceNotification() = default;
};

using RegisterDeviceNotification =
    std::function<std::unique_ptr<DeviceNotification>(std::function<void(DeviceEvent)> onEvent)>;

}  // namespace torv2::window
