#pragma once
// The application: sets the common controls up, makes the main window and its controller, runs
// the window until it ends, and ends the program with it.

#include <windows.h>

#include "link/usb_transport.h"
#include "upgrade/attempt.h"

class CZARN_TORV2_UpgraderApp {
 public:
  // Runs the program's one window over `transport`, with the system's device notifications;
  // FALSE, as the program then ends. `attempts` (may be null) is told each attempt: the history.
  BOOL InitInstance(torv2::link::UsbTransport& transport,
                    torv2::upgrade::AttemptObserver* attempts = nullptr);
};
