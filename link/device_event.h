#pragma once
// A programmer came or went. Whoever watches the bus (libusb hotplug, the system's device
// notifications, a test) says which; the window follows it.

namespace torv2::link {

enum class DeviceEvent { Arrival, Removal };

}  // namespace torv2::link
