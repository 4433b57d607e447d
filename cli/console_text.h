#pragma once
// The command line's text is UTF-8 on every platform. On Windows the arguments arrive in UTF-16
// and the console shows bytes in its own code page, so both are brought to UTF-8 for the life of
// the program, and the console acts on the escape sequences of the live progress lines; elsewhere
// nothing changes.

#include <optional>
#include <string>
#include <vector>

namespace torv2::cli {

class ConsoleText {
 public:
  // Reads the arguments (on Windows from the wide command line, so names outside the ANSI code
  // page come through) and switches the console's output to UTF-8 until destroyed.
  ConsoleText(int argc, char** argv);
  ~ConsoleText();
  ConsoleText(const ConsoleText&) = delete;
  ConsoleText& operator=(const ConsoleText&) = delete;

  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> arguments_;
  std::vector<char*> pointers_;  // into arguments_, ended by nullptr as argv is
  // What the console had before (Windows only).
  [[maybe_unused]] unsigned int previousOutputCodePage_ = 0;
  [[maybe_unused]] std::optional<unsigned long> previousErrorMode_;  // of stderr's console
};

}  // namespace torv2::cli
