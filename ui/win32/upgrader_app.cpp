#include "ui/win32/upgrader_app.h"

#include <commctrl.h>

#include "ui/win32/device_notification.h"

BOOL CZARN_TORV2_UpgraderApp::InitInstance(torv2::link::UsbTransport& transport,
                                           torv2::win32::UpgraderDlgOptions options) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);
  if (!options.window.registerDeviceNotification) {
    options.window.registerDeviceNotification = &torv2::win32::WatchProgrammers;
  }

  CZARN_TORV2_UpgraderDlg dialog(transport, std::move(options));
  dialog.DoModal();
  return FALSE;
}
