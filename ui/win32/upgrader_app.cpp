#include "ui/win32/upgrader_app.h"

#include <commctrl.h>

#include <memory>

#include "ui/win32/attempt_log_file.h"
#include "ui/win32/device_notification.h"
#include "ui/win32/upgrader_dlg.h"

BOOL CZARN_TORV2_UpgraderApp::InitInstance(torv2::link::UsbTransport& transport,
                                           torv2::upgrade::AttemptObserver* attempts) {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_WIN95_CLASSES;
  InitCommonControlsEx(&controls);

  // Each attempt's end, with its cause, where the user can read it after the window has gone.
  const std::unique_ptr<torv2::window::AttemptLog> log = torv2::win32::OpenAttemptLog();
  CZARN_TORV2_UpgraderDlg dialog;
  torv2::window::WindowController controller(
      dialog, dialog.queue(), transport,
      {.registerDeviceNotification = &torv2::win32::WatchProgrammers,
       .attempts = attempts,
       .attemptLog = log.get()});
  dialog.DoModal(controller);
  return FALSE;
}
