#pragma once
// The command line's history: --history PATH and --no-history for status and upgrade, the
// `history` command that shows what was kept, and an observer per programmer that keeps each
// attempt. Builds without a history (Windows) accept none of these options.

#include <memory>
#include <string>

#include "upgrade/attempt.h"

namespace CLI {
class App;
}

namespace torv2::cli {

class HistoryCli {
 public:
  HistoryCli();
  ~HistoryCli();
  HistoryCli(const HistoryCli&) = delete;
  HistoryCli& operator=(const HistoryCli&) = delete;

  // Adds --history, --no-history and the `history` command to `app`.
  void AddTo(CLI::App& app);

  // The `history` command, after parsing; `device` is the top-level --device, `json` the
  // top-level --json (the same as the command's own). Gives the exit code.
  int Show(const std::string& device, bool json);

  // Keeps one programmer's attempts; null when no history is kept. Any thread: the file is opened
  // once, at the first row. With `statusIsPartOfUpgrade` the start-up exchange is kept only when
  // it finds no programmer.
  std::unique_ptr<upgrade::AttemptObserver> ObserverFor(const std::string& name,
                                                        const std::string& busAddress,
                                                        const std::string& versionCarried,
                                                        bool statusIsPartOfUpgrade);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace torv2::cli
