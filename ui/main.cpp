// torv2-upgrader: the desktop program. It reads no settings; on its command line it answers
// --help and --version without opening a window (or needing a display).
#include <cstdio>
#include <span>

#include "ui/command_line.h"
#include "ui/upgrader_app.h"

int main(int argc, char** argv) {
  if (const auto code = torv2::ui::AnswerWithoutWindow(
          std::span<char* const>(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0)),
          stdout)) {
    return *code;
  }
  CZARN_TORV2_UpgraderApp theApp(argc, argv);
  theApp.InitInstance();
  return 0;
}
