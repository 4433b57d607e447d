#pragma once
// The programmer's arrival and removal on Windows: the system's device interface notifications
// for the programmer's interface class (RegisterDeviceNotificationW), received as WM_DEVICECHANGE
// by a message-only window that the registration makes for itself on the calling thread. The
// window's core takes them as it takes libusb's hotplug events on Linux.

#include <functional>
#include <memory>

#include "window/device_notification.h"

namespace torv2::win32 {

// The window class of the registration's message-only window.
inline constexpr wchar_t kDeviceWatcherClass[] = L"torv2-device-watcher";

// Registers for arrivals and removals of the programmer's interface. Call it on the GUI thread:
// onEvent comes on that thread, from whatever message loop runs there (a message box's too), and
// the registration must be destroyed there. nullptr when the system takes no registration (the
// window then learns of a device only at start-up).
std::unique_ptr<window::DeviceNotification> WatchProgrammers(
    std::function<void(link::DeviceEvent)> onEvent);

}  // namespace torv2::win32
