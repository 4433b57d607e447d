#pragma once
// The command line's history: --history PATH and --no-history for status and upgrade, the
// `history` command that shows what was kept, and an observer per programmer that keeps each
// attempt. Builds without a history (Windows) accept none of these options.

#include <memory>
#include <optional>
#include <string>

#include "history/unfinished_upgrade.h"
#include "upgrade/attempt.h"

namespace CLI {
class App;
}

namespace torv2::cli {

// A programmer's last upgrade, when it did not finish: when it began (UTC), how it ended
// ("cancelled", "error", "unfinished": the program was killed or lost its power) and why.
using UnfinishedUpgrade = history::UnfinishedUpgrade;

class HistoryCli {
 public:
  HistoryCli();
  ~HistoryCli();
  HistoryCli(const HistoryCli&) = delete;
  HistoryCli& operator=(const HistoryCli&) = delete;

  // Whether this build keeps a history (and so has the `history` command).
  static bool Available();

  // Adds the history's options that `command` takes: --history and --no-history for status and
  // upgrade; --history, --since, --csv and --summary for `history`.
  void AddTo(CLI::App& command);

  // Right after parsing, before any programmer is opened: refuses (with a message on stderr) a
  // --history that can never be the history file (a folder, an empty or too long name, a folder
  // that is not there, a file that is not SQLite or is another program's database) and a --since
  // that is not a time, for `command` if it uses them (status, upgrade, history). Nothing is
  // created or changed. Gives 0, or kExitUsage.
  int CheckArguments(const std::string& command);

  // The `history` command, after parsing: only `device`'s rows when given, as JSON with `json`.
  // Gives the exit code.
  int Show(const std::string& device, bool json);

  // Keeps one programmer's attempts; null when no history is kept. Any thread: the file is opened
  // once, at the first row. With `statusIsPartOfUpgrade` the start-up exchange is kept only when
  // it finds no programmer.
  std::unique_ptr<upgrade::AttemptObserver> ObserverFor(const std::string& name,
                                                        const std::string& busAddress,
                                                        const std::string& versionCarried,
                                                        bool statusIsPartOfUpgrade);

  // The last upgrade of the programmer called `name` (as ObserverFor() was given it), when the
  // history shows it did not finish; nullopt when it did, when there is none, or when no history
  // is kept or it cannot be read. Any thread.
  std::optional<UnfinishedUpgrade> LastUnfinished(const std::string& name);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace torv2::cli
