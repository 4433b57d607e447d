#include "cli/console_text.h"

namespace torv2::cli {

ConsoleText::ConsoleText(int argc, char** argv) : arguments_(argv, argv + argc) {
  for (std::string& a : arguments_) pointers_.push_back(a.data());
  pointers_.push_back(nullptr);
}

ConsoleText::~ConsoleText() = default;

}  // namespace torv2::cli
