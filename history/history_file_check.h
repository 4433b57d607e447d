#pragma once
// Whether a path can be the history file at all, looked at before any programmer is opened and
// without changing anything there. What is refused here can never become a good file (a folder,
// a name too long, another program's database); what may pass with time (a lock, a full disk, a
// file that cannot be written) is let through, for the store to warn about while the upgrade
// goes on.

#include <filesystem>
#include <optional>
#include <string>

namespace torv2::history {

enum class MissingFolder {
  Refuse,  // a path the user gave: a folder that is not there is a mistyped one
  Make,    // the default place: made on the first row
};

// Nullopt when `path` may be used, else why not, in a few words ("it is a folder").
std::optional<std::string> WhyNotAHistoryFile(const std::filesystem::path& path,
                                              MissingFolder missingFolder);

}  // namespace torv2::history
