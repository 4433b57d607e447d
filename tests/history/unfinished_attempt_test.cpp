// An upgrade's row is kept before the first image is written and completed at its end, so a
// program killed on the way leaves a row that says the upgrade did not finish; and how the front
// ends tell from a programmer's rows that its last upgrade did not finish.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "emulator/inprocess_transport.h"
#include "history/attempt_recorder.h"
#include "history/unfinished_upgrade.h"
#include "tests/history/history_test_support.h"
#include "tests/support/fake_host.h"
#include "tests/support/test_images.h"
#include "upgrade/upgrader.h"

namespace torv2::history {
namespace {

using namespace std::chrono_literals;
using testing::Collected;
using testing::RawSql;
using testing::TempFolder;
using upgrade::Attempt;
using upgrade::AttemptKind;
using upgrade::JobOutcome;
using upgrade::JobResult;

constexpr upgrade::SubSocketStatus kAllUpgraded{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};

RecorderSettings Settings() {
  return {.program = "torv2-upgrader-cli",
          .versionCarried = "2.08",
          .identity =
              [] {
                return ProgrammerIdentity{"VIRTUAL1", "001:004"};
              },
          .statusIsPartOfUpgrade = true};
}

std::vector<AttemptRow> ReadAll(HistoryStore& store) {
  std::string error;
  auto rows = store.Read({}, error);
  EXPECT_TRUE(rows) << error;
  return rows ? *rows : std::vector<AttemptRow>{};
}

Attempt UpgradeAt(std::chrono::milliseconds sinceEpoch) {
  return {.kind = AttemptKind::Upgrade,
          .started = std::chrono::system_clock::time_point(sinceEpoch),
          .linkOpened = true,
          .versionBefore = 2.07};
}

class Recorder : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::filesystem::path path_ = folder_.path() / "history.sqlite";
  Collected warnings_;
};

// Between its start and its end the upgrade's row says it has not finished; its end completes the
// same row.
TEST_F(Recorder, KeepsTheRowAtTheStartAndCompletesItAtTheEnd) {
  HistoryStore store(path_, warnings_.sink());
  AttemptRecorder recorder(store, Settings());
  Attempt attempt = UpgradeAt(1'765'384'889'123ms);
  recorder.AttemptBegan(attempt);

  auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].timeUtc, "2025-12-10T16:41:29.123Z");
  EXPECT_EQ(rows[0].kind, "upgrade");
  EXPECT_EQ(rows[0].device, "VIRTUAL1");
  EXPECT_EQ(rows[0].versionBefore, "2.07");
  EXPECT_EQ(rows[0].outcome, "unfinished");
  EXPECT_EQ(rows[0].cause, "the program ended mid-way (killed, or the power went)");
  EXPECT_EQ(rows[0].versionAfter, "");
  EXPECT_EQ(rows[0].durationMs, 0);

  const JobResult job{
      .outcome = JobOutcome::Completed, .mainOk = true, .subOk = true, .sockets = kAllUpgraded};
  attempt.job = &job;
  attempt.versionAfter = 2.08;
  attempt.duration = 4200ms;
  recorder.AttemptEnded(attempt);

  rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].outcome, "ok");
  EXPECT_EQ(rows[0].cause, "");
  EXPECT_EQ(rows[0].sockets, "UUUUUUUU");
  EXPECT_EQ(rows[0].versionAfter, "2.08");
  EXPECT_EQ(rows[0].durationMs, 4200);
  EXPECT_EQ(RawSql(path_, "SELECT count(*) FROM attempts"), "1");
  EXPECT_TRUE(warnings_.lines().empty());
}

// A program killed mid-way tells no end: the next program finds the row unfinished, keeps its own
// attempt beside it and leaves that row as it is.
TEST_F(Recorder, AnAttemptWithoutAnEndStaysUnfinished) {
  {
    HistoryStore store(path_, warnings_.sink());
    AttemptRecorder recorder(store, Settings());
    recorder.AttemptBegan(UpgradeAt(1'765'384'889'123ms));
  }  // killed
  HistoryStore store(path_, warnings_.sink());
  AttemptRecorder recorder(store, Settings());
  Attempt attempt = UpgradeAt(1'765'384'999'000ms);
  const JobResult failed{.outcome = JobOutcome::Failed};
  attempt.job = &failed;
  recorder.AttemptBegan(attempt);
  recorder.AttemptEnded(attempt);

  const auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].outcome, "error");
  EXPECT_EQ(rows[1].timeUtc, "2025-12-10T16:41:29.123Z");
  EXPECT_EQ(rows[1].outcome, "unfinished");
}

// The row to complete is gone (the file was set aside meanwhile) or is another by now: the end is
// kept as a row of its own, and no other row is overwritten.
TEST_F(Recorder, AnEndWhoseRowIsGoneIsKeptAsANewRow) {
  HistoryStore store(path_, warnings_.sink());
  AttemptRecorder recorder(store, Settings());
  Attempt attempt = UpgradeAt(1'765'384'889'123ms);
  recorder.AttemptBegan(attempt);
  // Another program's row under the same id, as a new file would have it.
  RawSql(path_,
         "UPDATE attempts SET time_utc = '2025-12-01T00:00:00.000Z', program = 'other', "
         "outcome = 'ok'");
  const JobResult failed{.outcome = JobOutcome::Failed};
  attempt.job = &failed;
  recorder.AttemptEnded(attempt);

  const auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].timeUtc, "2025-12-10T16:41:29.123Z");
  EXPECT_EQ(rows[0].outcome, "error");
  EXPECT_EQ(rows[1].program, "other");
  EXPECT_EQ(rows[1].outcome, "ok");
}

// Status checks and a job refused before it began keep their single row at the end, as before.
TEST_F(Recorder, OnlyAnUpgradeBeginsARow) {
  HistoryStore store(path_, warnings_.sink());
  AttemptRecorder recorder(store, Settings());
  Attempt status{.kind = AttemptKind::StatusCheck, .linkOpened = false};
  recorder.AttemptBegan(status);
  EXPECT_TRUE(ReadAll(store).empty());
  recorder.AttemptEnded(status);
  const JobResult refused{JobOutcome::Refused};
  Attempt attempt = UpgradeAt(1'765'384'889'123ms);
  attempt.job = &refused;
  recorder.AttemptEnded(attempt);

  const auto rows = ReadAll(store);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].outcome, "not ready");
  EXPECT_EQ(rows[1].outcome, "not ready");
}

int WriteCommands(emulator::InProcessTransport& device) {
  int n = 0;
  device.WithProgrammer([&](emulator::VirtualProgrammer& p) {
    for (const std::string& command : p.commands()) n += command.starts_with("WriteFirmware");
  });
  return n;
}

// The upgrader tells the start before it writes anything to the device, and only once the job
// runs: the row is there before the first byte of the image is.
TEST(UpgraderTellsTheStart, BeforeTheFirstImageIsWritten) {
  struct Observer final : upgrade::AttemptObserver {
    emulator::InProcessTransport* device = nullptr;
    std::vector<std::string> told;
    int writeCommandsAtStart = -1;
    void AttemptBegan(const Attempt& attempt) override {
      told.push_back(attempt.kind == AttemptKind::Upgrade ? "began upgrade" : "began status");
      writeCommandsAtStart = WriteCommands(*device);
    }
    void AttemptEnded(const Attempt& attempt) override {
      told.push_back(attempt.kind == AttemptKind::Upgrade ? "ended upgrade" : "ended status");
    }
  };
  std::vector<std::uint8_t> mainImage = torv2::testing::TestImage(20000, 1);
  const std::vector<std::uint8_t> subImage = torv2::testing::TestImage(2500, 2);
  const char title[] = "MainExe - TORV2 Execute V02.08";
  std::memcpy(mainImage.data() + 336, title, sizeof title);
  emulator::InProcessTransport device;
  Observer observer;
  observer.device = &device;
  link::UsbLink link(device, link::LinkTimeouts{20ms, 20ms});
  torv2::testing::FakeHost host;
  upgrade::Upgrader upgrader(link, host, upgrade::UpgraderTimings{1ms});
  upgrader.SetAttemptObserver(&observer);
  upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                     {subImage.data(), static_cast<std::uint32_t>(subImage.size())});
  ASSERT_TRUE(upgrader.StartUpExchange());
  upgrader.StartJob();
  upgrader.WaitForJob();

  EXPECT_EQ(observer.told,
            (std::vector<std::string>{"ended status", "began upgrade", "ended upgrade"}));
  EXPECT_EQ(observer.writeCommandsAtStart, 0);
  EXPECT_EQ(WriteCommands(device), 2);  // main and sub
}

// --- Which last upgrade did not finish ---

AttemptRow Kept(const char* kind, const char* outcome, const char* time, const char* cause = "") {
  return {.timeUtc = time,
          .program = "torv2-upgrader-cli",
          .kind = kind,
          .device = "VIRTUAL1",
          .outcome = outcome,
          .cause = cause};
}

struct LastCase {
  const char* name;
  std::vector<AttemptRow> newestFirst;
  std::optional<UnfinishedUpgrade> expected;
  friend void PrintTo(const LastCase& c, std::ostream* os) { *os << c.name; }
};

class LastUnfinished : public ::testing::TestWithParam<LastCase> {};

TEST_P(LastUnfinished, IsTheLastUpgradeThatTouchedTheProgrammer) {
  EXPECT_EQ(LastUnfinishedUpgrade(GetParam().newestFirst), GetParam().expected);
}

constexpr char kT1[] = "2026-12-11T06:40:12.345Z";
constexpr char kT2[] = "2026-12-11T07:00:00.000Z";
constexpr char kT3[] = "2026-12-11T08:00:00.000Z";

INSTANTIATE_TEST_SUITE_P(
    Rows, LastUnfinished,
    ::testing::Values(
        LastCase{"Nothing", {}, std::nullopt},
        LastCase{"StatusChecksOnly",
                 {Kept("status", "ok", kT2), Kept("status", "not ready", kT1)},
                 std::nullopt},
        LastCase{"Killed",
                 {Kept("upgrade", "unfinished", kT1, "the program ended mid-way")},
                 UnfinishedUpgrade{kT1, "unfinished", "the program ended mid-way"}},
        LastCase{"Interrupted",
                 {Kept("upgrade", "cancelled", kT1)},
                 UnfinishedUpgrade{kT1, "cancelled", ""}},
        LastCase{"Unplugged",
                 {Kept("upgrade", "error", kT1, "main chunk 3: device gone")},
                 UnfinishedUpgrade{kT1, "error", "main chunk 3: device gone"}},
        // Status checks since then change nothing: the firmware is still half written.
        LastCase{"StatusAfterAFailure",
                 {Kept("status", "ok", kT3), Kept("upgrade", "error", kT1, "why")},
                 UnfinishedUpgrade{kT1, "error", "why"}},
        // An attempt that found no programmer touched nothing.
        LastCase{"NoProgrammerAfterAFailure",
                 {Kept("upgrade", "not ready", kT3), Kept("upgrade", "error", kT1, "why")},
                 UnfinishedUpgrade{kT1, "error", "why"}},
        LastCase{"FailedThenSucceeded",
                 {Kept("upgrade", "ok", kT2), Kept("upgrade", "error", kT1, "why")},
                 std::nullopt},
        LastCase{"KilledThenSucceeded",
                 {Kept("upgrade", "ok", kT2), Kept("upgrade", "unfinished", kT1)},
                 std::nullopt},
        // It finished: the report says what failed.
        LastCase{"ReportFailure", {Kept("upgrade", "report failure", kT2)}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct WarningCase {
  const char* name;
  UnfinishedUpgrade upgrade;
  const char* line;
  friend void PrintTo(const WarningCase& c, std::ostream* os) { *os << c.name; }
};

class UnfinishedWarningLine : public ::testing::TestWithParam<WarningCase> {};

TEST_P(UnfinishedWarningLine, SaysWhenWhyAndWhatToDo) {
  EXPECT_EQ(UnfinishedWarning("VIRTUAL1", GetParam().upgrade), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, UnfinishedWarningLine,
    ::testing::Values(
        WarningCase{"Interrupted",
                    {kT1, "cancelled", ""},
                    "warning: the last upgrade of VIRTUAL1 did not finish (2026-12-11 06:40:12 "
                    "UTC: interrupted): upgrade it again"},
        WarningCase{"Unplugged",
                    {kT1, "error", "main chunk 3: device gone (transfer: no device)"},
                    "warning: the last upgrade of VIRTUAL1 did not finish (2026-12-11 06:40:12 "
                    "UTC: stopped: main chunk 3: device gone (transfer: no device)): upgrade it "
                    "again"},
        WarningCase{"Killed",
                    {kT1, "unfinished", "the program ended mid-way (killed, or the power went)"},
                    "warning: the last upgrade of VIRTUAL1 did not finish (2026-12-11 06:40:12 "
                    "UTC: the program ended mid-way (killed, or the power went)): upgrade it "
                    "again"},
        // What the file holds reaches a terminal without its control characters.
        WarningCase{"ControlCharacters",
                    {kT1, "error", "gone\x1b[2J"},
                    "warning: the last upgrade of VIRTUAL1 did not finish (2026-12-11 06:40:12 "
                    "UTC: stopped: gone?[2J): upgrade it again"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2::history
