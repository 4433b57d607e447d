#include <windows.h>

// shellapi.h needs windows.h first.
#include <shellapi.h>

#include "cli/console_text.h"
#include "win32/wide_text.h"

namespace torv2::cli {

ConsoleText::ConsoleText(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide) {
    for (int i = 0; i < count; ++i) arguments_.push_back(win32::Utf8FromWide(wide[i]));
    LocalFree(wide);
  } else {
    arguments_.assign(argv, argv + argc);  // the ANSI arguments are better than none
  }
  for (std::string& a : arguments_) pointers_.push_back(a.data());
  pointers_.push_back(nullptr);
  // The console keeps its code page and modes after the program ends: the old ones are put back.
  previousOutputCodePage_ = GetConsoleOutputCP();
  if (previousOutputCodePage_ != 0) SetConsoleOutputCP(CP_UTF8);
  // The live progress lines move the cursor with the terminal's escape sequences, which a console
  // acts on only when asked to (Windows 10 and later).
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
    previousErrorMode_ = mode;
    SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

ConsoleText::~ConsoleText() {
  if (previousOutputCodePage_ != 0) SetConsoleOutputCP(previousOutputCodePage_);
  if (previousErrorMode_) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), *previousErrorMode_);
}

}  // namespace torv2::cli
