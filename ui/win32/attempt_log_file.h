#pragma once
// Where the Windows program keeps its log of attempts (window/attempt_log.h), for a person to
// find after the window has gone (a program started from the Start menu has no console):
// %LOCALAPPDATA%\torv2-upgrader\torv2-upgrader.log.

#include <filesystem>
#include <memory>

#include "window/attempt_log.h"

namespace torv2::win32 {

// The log file's path; empty when Windows names no local application data folder.
std::filesystem::path AttemptLogPath();

// The program's log, or null where there is no place for it.
std::unique_ptr<window::AttemptLog> OpenAttemptLog();

}  // namespace torv2::win32
