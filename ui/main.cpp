// torv2-upgrader: the desktop program. It takes no arguments and reads no settings.
#include "ui/upgrader_app.h"

int main(int argc, char** argv) {
  CZARN_TORV2_UpgraderApp theApp(argc, argv);
  theApp.InitInstance();
  return 0;
}
