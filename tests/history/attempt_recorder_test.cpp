// How an attempt becomes a row: one case per way a status check or an upgrade ends.
#include <gtest/gtest.h>

#include "history/attempt_recorder.h"
#include "upgrade/upgrader.h"

namespace torv2::history {
namespace {

using namespace std::chrono_literals;
using upgrade::Attempt;
using upgrade::AttemptKind;
using upgrade::JobOutcome;
using upgrade::JobResult;

constexpr upgrade::SubSocketStatus kAllUpgraded{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};
constexpr upgrade::SubSocketStatus kTwoBad{'U', 'U', 'X', 'U', 'U', 'U', 'U', 0x1b};

struct RowCase {
  const char* name;
  Attempt attempt;
  std::optional<JobResult> job;
  bool statusIsPartOfUpgrade;
  const char* kind;
  const char* outcome;
  const char* failedParts;
  const char* sockets;
  friend void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }
};

class RowOfAttempt : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowOfAttempt, ShowsHowItEnded) {
  const RowCase& c = GetParam();
  Attempt attempt = c.attempt;
  attempt.started = std::chrono::system_clock::time_point(1'765'384'889'123ms);
  attempt.duration = 1234ms;
  if (c.job) attempt.job = &*c.job;
  const RecorderSettings settings{.program = "torv2-upgrader-cli",
                                  .versionCarried = "2.08",
                                  .identity =
                                      [] {
                                        return ProgrammerIdentity{"VIRTUAL1", "001:004"};
                                      },
                                  .statusIsPartOfUpgrade = c.statusIsPartOfUpgrade};
  const AttemptRow row = RowOf(attempt, settings);
  EXPECT_EQ(row.timeUtc, "2025-12-10T16:41:29.123Z");
  EXPECT_EQ(row.program, "torv2-upgrader-cli");
  EXPECT_EQ(row.device, "VIRTUAL1");
  EXPECT_EQ(row.busAddress, "001:004");
  EXPECT_EQ(row.versionCarried, "2.08");
  EXPECT_EQ(row.durationMs, 1234);
  EXPECT_EQ(row.kind, c.kind);
  EXPECT_EQ(row.outcome, c.outcome);
  EXPECT_EQ(row.failedParts, c.failedParts);
  EXPECT_EQ(row.sockets, c.sockets);
}

const Attempt kStatus{.kind = AttemptKind::StatusCheck, .linkOpened = true, .versionBefore = 2.07};
const Attempt kUpgrade{
    .kind = AttemptKind::Upgrade, .linkOpened = true, .versionBefore = 2.07, .versionAfter = 2.08};
Attempt Cancelled(Attempt a) {
  a.cancelled = true;
  return a;
}
Attempt NoLink(Attempt a) {
  a.linkOpened = false;
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Ends, RowOfAttempt,
    ::testing::Values(
        RowCase{"StatusOk", kStatus, std::nullopt, false, "status", "ok", "", ""},
        RowCase{"StatusWithoutAVersion",
                Attempt{.kind = AttemptKind::StatusCheck, .linkOpened = true}, std::nullopt, false,
                "status", "not ready", "", ""},
        RowCase{"StatusNoProgrammer", NoLink(kStatus), std::nullopt, false, "status", "not ready",
                "", ""},
        // The command line's upgrade: its start-up exchange finding nothing is the attempt.
        RowCase{"UpgradeFindsNoProgrammer", NoLink(kStatus), std::nullopt, true, "upgrade",
                "not ready", "", ""},
        RowCase{"UpgradeOk", kUpgrade, JobResult{JobOutcome::Completed, false, 1, 1, kAllUpgraded},
                false, "upgrade", "ok", "", "UUUUUUUU"},
        RowCase{"ReportShowsFailures", kUpgrade,
                JobResult{JobOutcome::Completed, false, 0, 1, kTwoBad}, false, "upgrade",
                "report failure", "main, sockets 3 8", "UUXUUUU?"},
        RowCase{"VerdictNotOk", kUpgrade,
                JobResult{JobOutcome::Completed, false, 1, 0, kAllUpgraded}, false, "upgrade",
                "report failure", "sub", "UUUUUUUU"},
        RowCase{"StoppedOnAnError", kUpgrade, JobResult{JobOutcome::Failed, false, 1, 0, {}}, false,
                "upgrade", "error", "", ""},
        RowCase{"LinkWouldNotOpen", NoLink(kUpgrade), JobResult{JobOutcome::Failed, true}, false,
                "upgrade", "not ready", "", ""},
        RowCase{"RefusedAsNotUsable", NoLink(kUpgrade), JobResult{JobOutcome::Refused}, false,
                "upgrade", "not ready", "", ""},
        RowCase{"ClosedMidway", Cancelled(kUpgrade), JobResult{JobOutcome::Failed, false, 1}, false,
                "upgrade", "cancelled", "", ""},
        // A job that completed before the program closed keeps its outcome.
        RowCase{"CompletedThenClosed", Cancelled(kUpgrade),
                JobResult{JobOutcome::Completed, false, 1, 1, kAllUpgraded}, false, "upgrade", "ok",
                "", "UUUUUUUU"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RowOfAttempt, VersionsAsTheWindowShowsThem) {
  Attempt attempt = kUpgrade;
  const JobResult job{JobOutcome::Completed, false, 1, 1, kAllUpgraded};
  attempt.job = &job;
  const AttemptRow row = RowOf(attempt, {});
  EXPECT_EQ(row.versionBefore, "2.07");
  EXPECT_EQ(row.versionAfter, "2.08");
  EXPECT_EQ(row.device, "");  // no identity: not known
}

}  // namespace
}  // namespace torv2::history
