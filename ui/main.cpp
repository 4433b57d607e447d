// torv2-upgrader: the desktop program. It reads no settings; its only arguments are --history PATH
// and --no-history.
#include "ui/upgrader_app.h"

int main(int argc, char** argv) {
  CZARN_TORV2_UpgraderApp theApp(argc, argv);
  theApp.InitInstance();
  return 0;
}
