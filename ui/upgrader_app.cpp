#include "ui/upgrader_app.h"

#include <memory>

#include "link/libusb/libusb_transport.h"
#include "ui/history_wiring.h"
#include "ui/hotplug_wiring.h"
#include "ui/upgrader_dlg.h"

namespace {

// Stands in when libusb cannot start: the programmer is never found, the window says so.
class NoUsbTransport final : public torv2::link::UsbTransport {
 public:
  std::unique_ptr<torv2::link::UsbDevice> OpenDevice(const torv2::link::Guid&,
                                                     std::chrono::milliseconds) override {
    return nullptr;
  }
};

}  // namespace

CZARN_TORV2_UpgraderApp::CZARN_TORV2_UpgraderApp(int& argc, char** argv) : app_(argc, argv) {
  QApplication::setApplicationName(QStringLiteral("torv2-upgrader"));
  QApplication::setDesktopFileName(QStringLiteral("torv2-upgrader"));
}

bool CZARN_TORV2_UpgraderApp::InitInstance() {
  const std::unique_ptr<torv2::link::LibusbTransport> usb = torv2::link::LibusbTransport::Create();
  NoUsbTransport noUsb;
  const auto history = torv2::ui::KeepHistory(QApplication::arguments(), usb.get());
  torv2::window::WindowOptions options;
  options.attempts = history.get();
  if (usb) {
    options.registerDeviceNotification = [&usb](auto onEvent) {
      return torv2::ui::WatchProgrammers(*usb, std::move(onEvent));
    };
  }
  CZARN_TORV2_UpgraderDlg dlg(usb ? static_cast<torv2::link::UsbTransport&>(*usb) : noUsb,
                              std::move(options));
  dlg.DoModal();
  return false;
}
