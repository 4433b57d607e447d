#pragma once
// Whether a programmer's last upgrade did not finish, read from its rows of the history: the
// front ends warn before they work with it again. Plain text and no SQLite, so a front end
// without a history (Windows) can name the type too.

#include <optional>
#include <span>
#include <string>

#include "history/attempt_row.h"

namespace torv2::history {

// The last upgrade of a programmer, when it did not finish.
struct UnfinishedUpgrade {
  std::string timeUtc;  // when it began: "2026-12-11T06:40:12.123Z"
  std::string outcome;  // as stored: "cancelled", "error" or "unfinished"
  std::string cause;    // as stored (the words after "cause:"); may be empty
  friend bool operator==(const UnfinishedUpgrade&, const UnfinishedUpgrade&) = default;
};

// From one programmer's rows, newest first: its last upgrade when that was interrupted, stopped
// on an error (unplugged, ...) or cut off (the program killed, the power gone). An attempt that
// found no programmer touched nothing and is passed over; one that completed (even with a
// failing report) says nothing.
inline std::optional<UnfinishedUpgrade> LastUnfinishedUpgrade(
    std::span<const AttemptRow> newestFirst) {
  for (const AttemptRow& row : newestFirst) {
    if (row.kind != "upgrade" || row.outcome == kOutcomeNotReady) continue;
    if (row.outcome == kOutcomeCancelled || row.outcome == kOutcomeError ||
        row.outcome == kOutcomeUnfinished) {
      return UnfinishedUpgrade{row.timeUtc, row.outcome, row.cause};
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// Text from a device or from the file, for a terminal: no control characters.
inline std::string PrintableText(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = '?';
  }
  return text;
}

// "2026-12-11 06:40:12 UTC: interrupted"
inline std::string DescribeUnfinished(const UnfinishedUpgrade& upgrade) {
  std::string when = upgrade.timeUtc.substr(0, 19);  // to the second
  if (when.size() > 10 && when[10] == 'T') when[10] = ' ';
  std::string what;
  if (upgrade.outcome == kOutcomeCancelled) {
    what = "interrupted";
  } else if (upgrade.outcome == kOutcomeError) {
    what = upgrade.cause.empty() ? "stopped on an error" : "stopped: " + upgrade.cause;
  } else {
    what = upgrade.cause.empty() ? kCauseUnfinished : upgrade.cause;
  }
  return PrintableText(when + " UTC: " + what);
}

// "warning: the last upgrade of VIRTUAL1 did not finish (2026-12-11 06:40:12 UTC: interrupted):
// upgrade it again"
inline std::string UnfinishedWarning(const std::string& name, const UnfinishedUpgrade& upgrade) {
  return "warning: the last upgrade of " + PrintableText(name) + " did not finish (" +
         DescribeUnfinished(upgrade) + "): upgrade it again";
}

}  // namespace torv2::history
