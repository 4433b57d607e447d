#include "ui/win32/device_notification.h"

#include <utility>

#include "link/winusb/interface_notification.h"

namespace torv2::win32 {
namespace {

class WindowNotification final : public window::DeviceNotification {
 public:
  explicit WindowNotification(std::unique_ptr<link::winusb::InterfaceNotification> registration)
      : registration_(std::move(registration)) {}

 private:
  std::unique_ptr<link::winusb::InterfaceNotification> registration_;
};

}  // namespace

std::unique_ptr<window::DeviceNotification> WatchProgrammers(
    std::function<void(link::DeviceEvent)> onEvent) {
  auto registration = link::winusb::InterfaceNotification::Register(
      link::winusb::SystemWinUsbApi(),
      [onEvent = std::move(onEvent)](bool arrived, const std::string&) {
        onEvent(arrived ? link::DeviceEvent::Arrival : link::DeviceEvent::Removal);
      });
  if (!registration) return nullptr;
  return std::make_unique<WindowNotification>(std::move(registration));
}

}  // namespace torv2::win32
