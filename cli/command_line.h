#pragma once
// The command line's options and commands, and its --help (from which the man page is made).

#include <optional>

#include "cli/commands.h"

namespace torv2::cli {

// Fills `options` from the arguments; gives the exit code when the program ends here (--help,
// --version, a usage error, which CLI11 has already explained), nullopt to go on.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options, HistoryCli& history);

}  // namespace torv2::cli
