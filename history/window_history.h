#pragma once
// The desktop programs' history, for the Qt window and the Win32 one alike: one store and the
// recorder that keeps each status check and upgrade attempt of the window in it, as
// "torv2-upgrader", with the version of the firmware the program carries.

#include <filesystem>
#include <functional>
#include <memory>

#include "history/attempt_recorder.h"
#include "upgrade/attempt.h"

namespace torv2::history {

// Null when `file` is empty (no place for the history). `identity` (may be empty) names the
// programmer at the end of each attempt. Warnings go to stderr.
std::unique_ptr<upgrade::AttemptObserver> KeepWindowHistory(
    const std::filesystem::path& file, std::function<ProgrammerIdentity()> identity = {});

}  // namespace torv2::history
