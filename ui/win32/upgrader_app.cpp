#include "ui/win32/upgrader_app.h"

#include <commctrl.h>

#include "ui/win32/device_notification.h"
#include "ui/win32/upgrader_dlg.h"

BOOL CZARN_TORV2_UpgraderApp::InitInstance(torv2::link::UsbTransport& transport,
                                           torv2::upgrade::AttemptObserver* attempts) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);

  CZARN_TORV2_UpgraderDlg dialog;
  torv2::window::WindowController controller(
      dialog, dialog.queue(), transport,
      {.registerDeviceNotification = &torv2::win32::WatchProgrammers, .attempts = attempts});
  dialog.DoModal(controller);
  return FALSE;
}
