#pragma once
// Device arrival and removal for the main window, from libusb hotplug on the program's transport.

#include <memory>

#include "window/device_notification.h"

namespace torv2::link {
class LibusbTransport;
}

namespace torv2::ui {

// Watches the bus for programmers; onEvent comes on the watcher's own thread. nullptr when
// libusb cannot watch here (the window then learns of a device only at start-up).
std::unique_ptr<window::DeviceNotification> WatchProgrammers(
    link::LibusbTransport& transport, std::function<void(link::DeviceEvent)> onEvent);

}  // namespace torv2::ui
