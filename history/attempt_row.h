#pragma once
// One row of the history: a status check or an upgrade attempt, as stored and as shown. Every
// field is text the way it is shown, apart from the duration.

#include <cstdint>
#include <string>

namespace torv2::history {

// The outcomes, as stored.
inline constexpr char kOutcomeOk[] = "ok";
inline constexpr char kOutcomeReportFailure[] = "report failure";
inline constexpr char kOutcomeError[] = "error";
inline constexpr char kOutcomeNotReady[] = "not ready";
inline constexpr char kOutcomeCancelled[] = "cancelled";
// An upgrade under way, or one whose program was killed or lost its power on the way: its row is
// kept before the first image is written and completed at its end.
inline constexpr char kOutcomeUnfinished[] = "unfinished";
// The cause such a row holds until it is completed.
inline constexpr char kCauseUnfinished[] = "the program ended mid-way (killed, or the power went)";

struct AttemptRow {
  std::string timeUtc;         // "2026-12-10T16:41:29.123Z"
  std::string program;         // "torv2-upgrader-cli", "torv2-upgrader"
  std::string kind;            // "status" or "upgrade"
  std::string device;          // the programmer's serial number, else its port; may be empty
  std::string busAddress;      // "001:004" at that time; may be empty
  std::string versionBefore;   // "2.07"; empty when the device did not tell
  std::string versionCarried;  // "2.08"
  std::string outcome;         // one of the kOutcome texts
  std::string failedParts;     // with a report failure: "main", "sub", "sockets 3 5", ...
  std::string cause;           // why it failed or why the report shows a failure, when known
  std::string sockets;         // the eight socket states, "UUUUUUUU"; empty without a sub stage
  std::string versionAfter;    // read at the end of a completed upgrade
  std::int64_t durationMs = 0;
  friend bool operator==(const AttemptRow&, const AttemptRow&) = default;
};

}  // namespace torv2::history
