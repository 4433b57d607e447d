// torv2-upgrader.exe: the Windows program. It takes nothing from the command line.
#include <windows.h>

#include "link/winusb/winusb_transport.h"
#include "ui/win32/upgrader_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  torv2::link::winusb::WinUsbTransport transport;
  CZARN_TORV2_UpgraderApp theApp;
  theApp.InitInstance(transport);
  return 0;
}
