// The log file of attempts a person reads after the window has gone: its lines and its size.
#include "window/attempt_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "upgrade/upgrader.h"

namespace torv2::window {
namespace {

using namespace std::chrono_literals;
using upgrade::Attempt;
using upgrade::AttemptKind;
using upgrade::JobOutcome;
using upgrade::JobResult;

// 2024-05-02 09:14:00 UTC
constexpr std::chrono::system_clock::time_point kStart{std::chrono::seconds(1714641240)};

upgrade::Cause RefusedSizeRecord() {
  link::ExchangeFailure f;
  f.what = link::Happened::Refused;
  const std::uint8_t error[] = {'E', 'r', 'r', 'o', 'r'};
  f.KeepAnswer(error);
  return {{upgrade::ExchangeStep::SizeRecord, upgrade::ImageKind::Main, 0}, f, std::nullopt};
}

upgrade::Cause NotFound() {
  link::ExchangeFailure f;
  f.what = link::Happened::NotFound;
  return {{upgrade::ExchangeStep::Opening, upgrade::ImageKind::Main, 0}, f, std::nullopt};
}

JobResult Job(JobOutcome outcome, std::optional<upgrade::Cause> cause = std::nullopt,
              bool allUpgraded = true) {
  JobResult job{outcome};
  job.cause = std::move(cause);
  job.mainOk = job.subOk = allUpgraded;
  job.sockets = link::SubSocketStatus{};
  job.sockets->fill(link::kSocketUpgraded);
  if (!allUpgraded) (*job.sockets)[2] = 'X';
  return job;
}

struct LineCase {
  const char* name;
  AttemptKind kind;
  std::optional<JobResult> job;
  std::optional<upgrade::Cause> statusCause;
  bool linkOpened;
  std::optional<double> before, after;
  bool cancelled;
  const char* line;
};

class LogLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(LogLine, SaysTheEndTimeTheOutcomeAndTheCause) {
  const LineCase& c = GetParam();
  Attempt a{.kind = c.kind,
            .started = kStart,
            .duration = 3500ms,
            .linkOpened = c.linkOpened,
            .versionBefore = c.before,
            .versionAfter = c.after,
            .cancelled = c.cancelled,
            .job = c.job ? &*c.job : nullptr,
            .cause = c.statusCause};
  EXPECT_EQ(AttemptLogLine(a), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Attempt, LogLine,
    ::testing::Values(
        LineCase{"UpgradeOk",
                 AttemptKind::Upgrade,
                 Job(JobOutcome::Completed),
                 {},
                 true,
                 2.07,
                 2.08,
                 false,
                 "2024-05-02T09:14:03Z upgrade ok; version 2.07 -> 2.08"},
        LineCase{"UpgradeFailed",
                 AttemptKind::Upgrade,
                 Job(JobOutcome::Failed, RefusedSizeRecord()),
                 {},
                 true,
                 2.07,
                 {},
                 false,
                 "2024-05-02T09:14:03Z upgrade failed; version 2.07 -> ?; cause: main size "
                 "record: refused (\"Error\")"},
        LineCase{"UpgradeWithFailedSocket",
                 AttemptKind::Upgrade,
                 Job(JobOutcome::Completed, {}, false),
                 {},
                 true,
                 2.07,
                 2.08,
                 false,
                 "2024-05-02T09:14:03Z upgrade completed, with failures; version 2.07 -> 2.08"},
        LineCase{"UpgradeRefused",
                 AttemptKind::Upgrade,
                 Job(JobOutcome::Refused),
                 {},
                 false,
                 {},
                 {},
                 false,
                 "2024-05-02T09:14:03Z upgrade refused (no programmer ready)"},
        LineCase{"UpgradeCancelled",
                 AttemptKind::Upgrade,
                 Job(JobOutcome::Failed),
                 {},
                 true,
                 {},
                 {},
                 true,
                 "2024-05-02T09:14:03Z upgrade cancelled"},
        LineCase{"StatusCheckOk",
                 AttemptKind::StatusCheck,
                 {},
                 {},
                 true,
                 2.07,
                 {},
                 false,
                 "2024-05-02T09:14:03Z status-check ok; version 2.07"},
        LineCase{"StatusCheckWithoutProgrammer",
                 AttemptKind::StatusCheck,
                 {},
                 NotFound(),
                 false,
                 {},
                 {},
                 false,
                 "2024-05-02T09:14:03Z status-check failed; cause: opening the programmer: no "
                 "programmer found"}),
    [](const auto& info) { return info.param.name; });

// A cause carries the device's bytes in quotes; a line end among them would split the entry.
TEST(LogLine, StaysOneLineWhateverTheDeviceAnswered) {
  upgrade::Cause cause = RefusedSizeRecord();
  const std::uint8_t answer[] = {'E', '\n', 'r', '\r'};
  cause.failure.KeepAnswer(answer);
  const JobResult job = Job(JobOutcome::Failed, cause);
  const std::string line =
      AttemptLogLine({.kind = AttemptKind::Upgrade, .started = kStart, .job = &job});
  EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("attempt-log-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::filesystem::path dir_;
};

TEST_F(LogFile, IsMadeWithItsFolderAndKeepsEveryAttempt) {
  const auto file = dir_ / "torv2-upgrader" / "torv2-upgrader.log";
  AttemptLog log(file);
  const JobResult failed = Job(JobOutcome::Failed, RefusedSizeRecord());
  const JobResult ok = Job(JobOutcome::Completed);
  log.AttemptEnded({.kind = AttemptKind::Upgrade, .started = kStart, .job = &failed});
  log.AttemptEnded({.kind = AttemptKind::Upgrade,
                    .started = kStart + 60s,
                    .versionBefore = 2.07,
                    .versionAfter = 2.08,
                    .job = &ok});
  EXPECT_EQ(Read(file),
            "2024-05-02T09:14:00Z upgrade failed; cause: main size record: refused (\"Error\")\n"
            "2024-05-02T09:15:00Z upgrade ok; version 2.07 -> 2.08\n");
}

TEST_F(LogFile, AFullLogIsMovedAsideAndANewOneBegins) {
  const auto file = dir_ / "a.log";
  AttemptLog log(file, 25);
  log.Append("0123456789");  // 11 bytes with the line end
  log.Append("abcdefghij");  // 22
  EXPECT_EQ(Read(file), "0123456789\nabcdefghij\n");
  log.Append("ABCDEFGHIJ");  // would be 33: the log moves aside
  EXPECT_EQ(Read(file), "ABCDEFGHIJ\n");
  EXPECT_EQ(Read(dir_ / "a.log.old"), "0123456789\nabcdefghij\n");
  log.Append("klmnopqrst");
  log.Append("KLMNOPQRST");  // the older one goes
  EXPECT_EQ(Read(file), "KLMNOPQRST\n");
  EXPECT_EQ(Read(dir_ / "a.log.old"), "ABCDEFGHIJ\nklmnopqrst\n");
}

// A log that cannot be written (its folder is a file) leaves the window as it was.
TEST_F(LogFile, ThatCannotBeWrittenIsGivenUpQuietly) {
  std::filesystem::create_directories(dir_);
  std::ofstream(dir_ / "blocked") << "x";
  AttemptLog log(dir_ / "blocked" / "torv2-upgrader.log");
  log.Append("line");
  EXPECT_EQ(Read(dir_ / "blocked"), "x");
}

}  // namespace
}  // namespace torv2::window
