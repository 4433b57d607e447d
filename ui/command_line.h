#pragma once
// What the desktop program answers on its command line without opening a window: --help and
// --version. Everything else stays Qt's (its own options, such as -platform NAME).

#include <cstdio>
#include <optional>
#include <span>

namespace torv2::ui {

// When the arguments (argv[0] left out) ask for the help or the version, writes it to `out` and
// gives the exit code; nullopt when the program is to run its window.
std::optional<int> AnswerWithoutWindow(std::span<char* const> args, std::FILE* out);

}  // namespace torv2::ui
