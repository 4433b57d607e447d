#include "history/history_path.h"

#include <cstdlib>

namespace torv2::history {

std::optional<std::string> ProcessEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

#ifndef _WIN32  // Windows asks the shell for the folder: win32/history_path_win32.cpp
std::filesystem::path DefaultHistoryPath(const Environment& environment) {
  const std::filesystem::path inFolder = std::filesystem::path("torv2-upgrader") / "history.sqlite";
  // The XDG base directory rules: a relative path in the variable is to be ignored.
  if (const auto state = environment("XDG_STATE_HOME");
      state && !state->empty() && state->front() == '/') {
    return std::filesystem::path(*state) / inFolder;
  }
  if (const auto home = environment("HOME"); home && !home->empty()) {
    return std::filesystem::path(*home) / ".local" / "state" / inFolder;
  }
  return {};
}
#endif

}  // namespace torv2::history
