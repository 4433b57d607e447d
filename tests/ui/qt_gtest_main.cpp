// main() of the widget tests: a QApplication on the offscreen platform (unless the environment
// names another one), then GoogleTest.
#include <gtest/gtest.h>

#include <QApplication>

// Read by ThreadSanitizer builds only. Qt is not built with ThreadSanitizer, so hand-overs inside
// its own thread pools (QtGui frees on a pool thread what the GUI thread allocated) look like
// races. Our threads meet only through std::mutex, which ThreadSanitizer sees.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n";
}

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
