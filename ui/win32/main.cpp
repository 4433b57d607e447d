// torv2-upgrader.exe: the Windows program. It takes nothing from the command line; it keeps the
// history of its status checks and upgrade attempts in the default place, as the command line
// does (%LOCALAPPDATA%\torv2-upgrader\history.sqlite).
#include <windows.h>

#include "history/history_path.h"
#include "history/window_history.h"
#include "link/winusb/winusb_transport.h"
#include "ui/win32/upgrader_app.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  torv2::link::winusb::WinUsbTransport transport;
  const auto history = torv2::history::KeepWindowHistory(torv2::history::DefaultHistoryPath());
  CZARN_TORV2_UpgraderApp theApp;
  theApp.InitInstance(transport, history.get());
  return 0;
}
