#include "ui/command_line.h"

#include <string_view>

#include "program_version.h"

namespace torv2::ui {
namespace {

constexpr std::string_view kHelp =
    R"(Usage: torv2-upgrader [--help] [--version] [Qt options]
Upgrades the firmware of a ZARN TORV II multi-socket device programmer over USB.

The window finds the programmer on USB, shows the firmware version the program carries
("Upgrade Ver") and the one the programmer reports ("Current Ver"), and ends its title in
"USB OK" or "USB UnConn". "Update" or the space key writes both images into the programmer,
reads each back and compares it, then shows the result with the state of the eight sub
sockets; the program ends when that result is closed. It follows the programmer being plugged
in and out.

Options:
  --help     show this help and exit
  --version  show the program's version and exit

Qt's own options (-platform NAME, -display DISPLAY, ...) are taken as well.

For scripts and production lines, torv2-upgrader-cli does the same without a window.
)";

}  // namespace

std::optional<int> AnswerWithoutWindow(std::span<char* const> args, std::FILE* out) {
  for (const char* arg : args) {
    if (arg == nullptr) break;
    const std::string_view a(arg);
    if (a == "--") break;
    if (a == "--help" || a == "-h") {
      std::fwrite(kHelp.data(), 1, kHelp.size(), out);
      return 0;
    }
    if (a == "--version") {
      std::fprintf(out, "torv2-upgrader %s\n", TORV2_PROGRAM_VERSION);
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace torv2::ui
