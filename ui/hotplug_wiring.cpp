#include "ui/hotplug_wiring.h"

#include "link/libusb/hotplug_monitor.h"

namespace torv2::ui {
namespace {

class HotplugNotification final : public DeviceNotification {
 public:
  HotplugNotification(link::LibusbTransport& transport, std::function<void(DeviceEvent)> onEvent)
      : monitor_(transport, [onEvent = std::move(onEvent)](link::DeviceEvent event) {
          onEvent(event == link::DeviceEvent::Arrival ? DeviceEvent::Arrival
                                                      : DeviceEvent::Removal);
        }) {}

  bool active() const { return monitor_.active(); }

 private:
  link::HotplugMonitor monitor_;
};

}  // namespace

std::unique_ptr<DeviceNotification> WatchProgrammers(link::LibusbTransport& transport,
                                                     std::function<void(DeviceEvent)> onEvent) {
  auto notification = std::make_unique<HotplugNotification>(transport, std::move(onEvent));
  if (!notification->active()) return nullptr;
  return notification;
}

}  // namespace torv2::ui
