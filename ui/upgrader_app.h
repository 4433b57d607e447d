#pragma once
// The application: starts Qt, runs the main window modally, and ends the program when that window
// ends. The window reaches the programmer through libusb and follows it with libusb hotplug.

#include <QApplication>

class CZARN_TORV2_UpgraderApp {
 public:
  CZARN_TORV2_UpgraderApp(int& argc, char** argv);

  // Runs the main window until it ends; always false: there is no loop after it.
  bool InitInstance();

 private:
  QApplication app_;
};
