#pragma once
// The application: sets the common controls up, runs the main dialog until it ends, and ends the
// program with it.

#include <windows.h>

#include "link/usb_transport.h"
#include "ui/win32/upgrader_dlg.h"

class CZARN_TORV2_UpgraderApp {
 public:
  // Runs the program's one window over `transport`; FALSE, as the program then ends. The device
  // notifications are the system's unless `options` brings a registration.
  BOOL InitInstance(torv2::link::UsbTransport& transport,
                    torv2::win32::UpgraderDlgOptions options = {});
};
