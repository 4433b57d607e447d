// History never stops an upgrade: with a history file that is damaged, read-only or locked, a
// whole upgrade against the virtual programmer still completes, and the user gets one warning.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <optional>

#include "emulator/inprocess_transport.h"
#include "history/attempt_recorder.h"
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

struct BrokenCase {
  const char* name;
  // Leaves the file at `path` unusable in one way; may hand back what keeps it so.
  std::function<std::shared_ptr<void>(const std::filesystem::path& path)> breakIt;
  const char* warningHas;
  bool recordedAnyway;  // a damaged file is set aside and a new one takes the row
  friend void PrintTo(const BrokenCase& c, std::ostream* os) { *os << c.name; }
};

class BrokenHistory : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenHistory, UpgradeCompletesWithOneWarning) {
  const BrokenCase& c = GetParam();
  TempFolder folder;
  const auto path = folder.path() / "history.sqlite";
  { HistoryStore(path, nullptr).Record(testing::Row("BEFORE", "2026-12-10T09:00:00.000Z")); }
  const std::shared_ptr<void> keeper = c.breakIt(path);

  Collected warnings;
  HistoryStore store(path, warnings.sink(), {.busyTimeout = 20ms});
  AttemptRecorder recorder(
      store, {.program = "torv2-upgrader-cli", .versionCarried = "2.08", .identity = [] {
                return ProgrammerIdentity{"VIRTUAL1", ""};
              }});
  std::vector<std::uint8_t> mainImage = torv2::testing::TestImage(20000, 1);
  const std::vector<std::uint8_t> subImage = torv2::testing::TestImage(2500, 2);
  const char title[] = "MainExe - TORV2 Execute V02.08";
  std::memcpy(mainImage.data() + 336, title, sizeof title);
  emulator::InProcessTransport device;
  link::UsbLink link(device, link::LinkTimeouts{20ms, 20ms});
  torv2::testing::FakeHost host;
  upgrade::Upgrader upgrader(link, host, upgrade::UpgraderTimings{1ms});
  upgrader.SetAttemptObserver(&recorder);
  upgrader.SetImages({mainImage.data(), static_cast<std::uint32_t>(mainImage.size())},
                     {subImage.data(), static_cast<std::uint32_t>(subImage.size())});

  ASSERT_TRUE(upgrader.StartUpExchange());  // a status check: the first row to fail
  upgrader.StartJob();
  upgrader.WaitForJob();

  EXPECT_EQ(upgrader.LastJob().outcome, upgrade::JobOutcome::Completed);
  EXPECT_EQ(upgrader.LastJob().mainOk, 1);
  EXPECT_EQ(upgrader.LastJob().subOk, 1);
  EXPECT_TRUE(host.messages().empty());
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_NE(warnings.lines()[0].find(c.warningHas), std::string::npos) << warnings.lines()[0];
  if (c.recordedAnyway) {
    EXPECT_EQ(RawSql(path, "SELECT group_concat(kind || ' ' || outcome, '; ') FROM attempts"),
              "status ok; upgrade ok");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, BrokenHistory,
    ::testing::Values(BrokenCase{"Damaged",
                                 [](const std::filesystem::path& path) -> std::shared_ptr<void> {
                                   std::ofstream(path, std::ios::binary | std::ios::trunc)
                                       << std::string(8192, '\x5a');
                                   return nullptr;
                                 },
                                 "was damaged (file is not a database); kept it as", true},
#ifndef _WIN32  // Wine run by root writes a read-only file all the same
                      BrokenCase{"ReadOnly",
                                 [](const std::filesystem::path& path) -> std::shared_ptr<void> {
                                   std::filesystem::permissions(path,
                                                                std::filesystem::perms::owner_read);
                                   // Root would write it anyway: this thread goes without that
                                   // power, and so does the job's thread, which it starts.
                                   return std::make_shared<testing::WithoutFileOverride>();
                                 },
                                 "it cannot be written", false},
#endif
                      BrokenCase{"Locked",
                                 [](const std::filesystem::path& path) -> std::shared_ptr<void> {
                                   return std::make_shared<testing::Holder>(path,
                                                                            "BEGIN EXCLUSIVE");
                                 },
                                 "it is locked by another program (database is locked)", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torv2::history
