#include "ui/hotplug_wiring.h"

#include "link/libusb/hotplug_monitor.h"

namespace torv2::ui {
namespace {

class HotplugNotification final : public window::DeviceNotification {
 public:
  HotplugNotification(link::LibusbTransport& transport,
                      std::function<void(link::DeviceEvent)> onEvent)
      : monitor_(transport, std::move(onEvent)) {}

  bool active() const { return monitor_.active(); }

 private:
  link::HotplugMonitor monitor_;
};

}  // namespace

std::unique_ptr<window::DeviceNotification> WatchProgrammers(
    link::LibusbTransport& transport, std::function<void(link::DeviceEvent)> onEvent) {
  auto notification = std::make_unique<HotplugNotification>(transport, std::move(onEvent));
  if (!notification->active()) return nullptr;
  return notification;
}

}  // namespace torv2::ui
