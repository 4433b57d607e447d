#pragma once
// The programmer's arrival and removal on Windows (link/winusb/interface_notification.h: the
// system's device interface notifications, on a message-only window of the calling thread). The
// window's core takes them as it takes libusb's hotplug events on Linux.

#include <functional>
#include <memory>

#include "window/device_notification.h"

namespace torv2::win32 {

// Registers for arrivals and removals of the programmer's interface. Call it on the GUI thread:
// onEvent comes on that thread, from whatever message loop runs there (a message box's too), and
// the registration must be destroyed there. nullptr when the system takes no registration (the
// window then learns of a device only at start-up).
std::unique_ptr<window::DeviceNotification> WatchProgrammers(
    std::function<void(link::DeviceEvent)> onEvent);

}  // namespace torv2::win32
