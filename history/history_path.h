#pragma once
// Where the history lives unless the command line says otherwise.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace torv2::history {

// Reads an environment variable; nullopt when it is not set.
using Environment = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::string> ProcessEnvironment(const char* name);

// $XDG_STATE_HOME/torv2-upgrader/history.sqlite, else ~/.local/state/torv2-upgrader/...; empty
// when neither is set. On Windows %LOCALAPPDATA%\torv2-upgrader\history.sqlite, the user's
// local application data folder as the shell knows it (`environment` is not asked there); empty
// when the shell knows none.
std::filesystem::path DefaultHistoryPath(const Environment& environment = ProcessEnvironment);

}  // namespace torv2::history
