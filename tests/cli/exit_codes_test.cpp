// The exit codes: the README's table is the program's own, "the worst of them" follows the
// severity order, and a job's outcome gives its code.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "cli/exit_codes.h"
#include "upgrade/upgrader.h"

namespace torv2::cli {
namespace {

TEST(ExitCodes, TheReadmeShowsTheProgramsOwnTable) {
  std::ifstream in(TORV2_README);
  ASSERT_TRUE(in) << TORV2_README;
  std::stringstream readme;
  readme << in.rdbuf();
  EXPECT_NE(readme.str().find(ExitCodeTable()), std::string::npos)
      << "the README's exit-code table differs from the program's; it should read:\n"
      << ExitCodeTable();
}

TEST(ExitCodes, TheWorstOfTwoFollowsTheSeverityOrder) {
  struct Case {
    int a, b, worst;
  };
  // Worst first: 130 interrupted, 2 stopped part-way, 1 report failure, 3 not ready, 0.
  for (const Case& c : {Case{2, 3, 2}, Case{3, 2, 2}, Case{1, 3, 1}, Case{3, 0, 3}, Case{0, 0, 0},
                        Case{130, 2, 130}, Case{1, 2, 2}, Case{64, 130, 64}}) {
    EXPECT_EQ(WorseExit(c.a, c.b), c.worst) << c.a << " against " << c.b;
  }
}

TEST(ExitCodes, AJobsOutcomeGivesItsCode) {
  using upgrade::JobOutcome;
  const link::SubSocketStatus all{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};
  const link::SubSocketStatus third{'U', 'U', 'X', 'U', 'U', 'U', 'U', 'U'};
  struct Case {
    const char* name;
    upgrade::JobResult job;
    int code;
  };
  const Case cases[] = {
      {"all done", {JobOutcome::Completed, false, true, true, all}, 0},
      {"a socket not upgraded", {JobOutcome::Completed, false, true, true, third}, 1},
      {"no socket status", {JobOutcome::Completed, false, true, true, std::nullopt}, 1},
      {"main image differs", {JobOutcome::Completed, false, false, true, all}, 1},
      {"verdict not OK", {JobOutcome::Completed, false, true, false, all}, 1},
      {"stopped part-way", {JobOutcome::Failed, false, true, false, std::nullopt}, 2},
      {"link would not open", {JobOutcome::Failed, true, false, false, std::nullopt}, 3},
      {"refused as not usable", {JobOutcome::Refused, false, false, false, std::nullopt}, 3},
  };
  for (const Case& c : cases) EXPECT_EQ(UpgradeExitCode(c.job), c.code) << c.name;
}

}  // namespace
}  // namespace torv2::cli
