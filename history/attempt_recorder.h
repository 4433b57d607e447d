#pragma once
// Keeps each status check and upgrade attempt the upgrader reports as a row of the history. An
// upgrade's row is kept when it begins, as unfinished, and completed when it ends: a program
// killed on the way leaves a row that says the upgrade did not finish.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "history/attempt_row.h"
#include "history/history_store.h"
#include "upgrade/attempt.h"

namespace torv2::history {

// Which programmer an attempt was made on, as the front end names it.
struct ProgrammerIdentity {
  std::string name;        // serial number, else port; empty when not known
  std::string busAddress;  // "001:004"; empty when not known
};

struct RecorderSettings {
  std::string program;         // "torv2-upgrader-cli"
  std::string versionCarried;  // "2.08"
  // Asked at the end of each attempt: the programmer may have moved meanwhile.
  std::function<ProgrammerIdentity()> identity;
  // The start-up exchange belongs to the upgrade that follows it: it is not kept on its own,
  // except when it finds no programmer (then it is the upgrade attempt, not ready).
  bool statusIsPartOfUpgrade = false;
};

// The row for one attempt.
AttemptRow RowOf(const upgrade::Attempt& attempt, const RecorderSettings& settings);
// The row an upgrade keeps when it begins, until its end completes it.
AttemptRow BeganRowOf(const upgrade::Attempt& attempt, const RecorderSettings& settings);

class AttemptRecorder final : public upgrade::AttemptObserver {
 public:
  AttemptRecorder(HistoryStore& store, RecorderSettings settings)
      : store_(store), settings_(std::move(settings)) {}
  void AttemptBegan(const upgrade::Attempt& attempt) override;
  void AttemptEnded(const upgrade::Attempt& attempt) override;

 private:
  HistoryStore& store_;
  RecorderSettings settings_;
  // The row of the upgrade under way, to be completed at its end. The job's thread's alone.
  std::optional<BegunRow> begun_;
};

// "2026-12-10T16:41:29.123Z"
std::string UtcText(std::chrono::system_clock::time_point when);

}  // namespace torv2::history
