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
  // The console keeps its code page after the program ends: the old one is put back.
  previousOutputCodePage_ = GetConsoleOutputCP();
  if (previousOutputCodePage_ != 0) SetConsoleOutputCP(CP_UTF8);
}

ConsoleText::~ConsoleText() {
  if (previousOutputCodePage_ != 0) SetConsoleOutputCP(previousOutputCodePage_);
}

}  // namespace torv2::cli
