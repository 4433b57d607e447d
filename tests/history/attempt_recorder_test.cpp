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
  const char* cause = "";
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
  EXPECT_EQ(row.cause, c.cause);
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
Attempt WithCause(Attempt a, upgrade::Cause cause) {
  a.cause = std::move(cause);
  return a;
}
JobResult WithCause(JobResult job, upgrade::Cause cause) {
  job.cause = std::move(cause);
  return job;
}

link::ExchangeFailure Failure(link::Happened what, link::TransferStatus transfer) {
  link::ExchangeFailure f;
  f.what = what;
  f.transfer = transfer;
  return f;
}
const upgrade::Cause kNotFound{{upgrade::ExchangeStep::Opening},
                               Failure(link::Happened::NotFound, link::TransferStatus::Ok)};
const upgrade::Cause kStatusTimedOut{
    {upgrade::ExchangeStep::StatusQuery}, [] {
      link::ExchangeFailure f = Failure(link::Happened::TimedOut, link::TransferStatus::TimedOut);
      f.timeout = 100ms;
      return f;
    }()};
const upgrade::Cause kGoneAtChunk3{
    {upgrade::ExchangeStep::Chunk, upgrade::ImageKind::Main, 3},
    Failure(link::Happened::DeviceGone, link::TransferStatus::NoDevice),
    upgrade::StepAt{upgrade::ExchangeStep::WriteCommand, upgrade::ImageKind::Sub}};
const upgrade::Cause kDiffersInChunk2{
    {upgrade::ExchangeStep::ReadBackChunk, upgrade::ImageKind::Main, 2}, [] {
      link::ExchangeFailure f = Failure(link::Happened::ReadBackDiffers, link::TransferStatus::Ok);
      f.offset = 12288;
      return f;
    }()};

INSTANTIATE_TEST_SUITE_P(
    Ends, RowOfAttempt,
    ::testing::Values(
        RowCase{"StatusOk", kStatus, std::nullopt, false, "status", "ok", "", ""},
        RowCase{"StatusWithoutAVersion",
                Attempt{.kind = AttemptKind::StatusCheck, .linkOpened = true}, std::nullopt, false,
                "status", "not ready", "", ""},
        RowCase{"StatusNoProgrammer", NoLink(kStatus), std::nullopt, false, "status", "not ready",
                "", ""},
        // Why, in the words the command line prints after "cause: ".
        RowCase{"StatusNoProgrammerSaysWhy", WithCause(NoLink(kStatus), kNotFound), std::nullopt,
                false, "status", "not ready", "", "",
                "opening the programmer: no programmer found"},
        // The status went unanswered, the version was read: not ready, as status exits 3.
        RowCase{"StatusUnreadVersionRead", WithCause(kStatus, kStatusTimedOut), std::nullopt, false,
                "status", "not ready", "", "",
                "status query: time-out after 100 ms (transfer: timed out)"},
        RowCase{"StatusQueryUnanswered",
                WithCause(Attempt{.kind = AttemptKind::StatusCheck, .linkOpened = true},
                          kStatusTimedOut),
                std::nullopt, false, "status", "not ready", "", "",
                "status query: time-out after 100 ms (transfer: timed out)"},
        // The command line's upgrade: its start-up exchange finding nothing is the attempt.
        RowCase{"UpgradeFindsNoProgrammer", WithCause(NoLink(kStatus), kNotFound), std::nullopt,
                true, "upgrade", "not ready", "", "",
                "opening the programmer: no programmer found"},
        RowCase{"UpgradeOk", kUpgrade, JobResult{JobOutcome::Completed, false, 1, 1, kAllUpgraded},
                false, "upgrade", "ok", "", "UUUUUUUU"},
        RowCase{"ReportShowsFailures", kUpgrade,
                WithCause(JobResult{JobOutcome::Completed, false, 0, 1, kTwoBad}, kDiffersInChunk2),
                false, "upgrade", "report failure", "main, sockets 3 8", "UUXUUUU?",
                "main read-back chunk 2: read-back differs at offset 12288"},
        RowCase{"VerdictNotOk", kUpgrade,
                JobResult{JobOutcome::Completed, false, 1, 0, kAllUpgraded}, false, "upgrade",
                "report failure", "sub", "UUUUUUUU"},
        RowCase{"StoppedOnAnError", kUpgrade,
                WithCause(JobResult{JobOutcome::Failed, false, 1, 0, {}}, kGoneAtChunk3), false,
                "upgrade", "error", "", "",
                "main chunk 3: device gone (transfer: no device); the job stopped at sub write "
                "command"},
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
