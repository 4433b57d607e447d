// One programmer's result as a script and a person read it: the outcome words, whether it is up
// to date, the few words of what failed, --all's summary and the line of what an upgrade wrote.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "cli/programmer_result.h"

namespace torv2::cli {
namespace {

constexpr link::SubSocketStatus kAllUpgraded{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U'};
constexpr link::SubSocketStatus kThirdAndFifth{'U', 'U', 'X', 'U', '-', 'U', 'U', 'U'};

upgrade::Cause DiffersInMainChunk2() {
  upgrade::Cause cause;
  cause.at = {upgrade::ExchangeStep::ReadBackChunk, upgrade::ImageKind::Main, 2};
  cause.failure.what = link::Happened::ReadBackDiffers;
  cause.failure.offset = 12288;
  return cause;
}

TEST(ProgrammerResult, EveryExitCodeHasItsOwnWord) {
  std::set<std::string> words;
  for (const ExitCode& code : kExitCodes) {
    const std::string word = OutcomeKey(code.code);
    EXPECT_FALSE(word.starts_with("exit-")) << code.code << " has no word";
    words.insert(word);
  }
  EXPECT_EQ(words.size(), kExitCodes.size());
  EXPECT_EQ(OutcomeKey(1), "report-failure");
  EXPECT_EQ(OutcomeKey(130), "interrupted");
  EXPECT_EQ(OutcomeKey(7), "exit-7");
}

// Versions compare as shown, to the hundredth: a device's 2.08 is the carried 2.08 whatever the
// last bits of either double.
TEST(ProgrammerResult, UpToDateComparesVersionsAsShown) {
  struct Case {
    std::optional<double> current;
    double carried;
    bool upToDate;
  };
  for (const Case& c :
       {Case{2.08, 2.08, true}, Case{2.0799999999, 2.08, true}, Case{2.07, 2.08, false},
        Case{2.10, 2.08, true}, Case{std::nullopt, 2.08, false}}) {
    ProgrammerResult r{.versionCarried = c.carried, .versionCurrent = c.current};
    EXPECT_EQ(ProgrammerJson(r)["up_to_date"], c.upToDate)
        << (c.current ? std::to_string(*c.current) : "unknown");
  }
}

TEST(ProgrammerResult, FailedPartsInAFewWords) {
  struct Case {
    const char* name;
    ProgrammerResult result;
    std::string parts;
  };
  const Case cases[] = {
      {"ok", {.exitCode = 0, .sockets = kAllUpgraded}, ""},
      {"main differs",
       {.exitCode = 1, .sockets = kAllUpgraded, .cause = DiffersInMainChunk2()},
       "main read-back chunk 2: read-back differs at offset 12288"},
      {"two sockets", {.exitCode = 1, .sockets = kThirdAndFifth}, "sockets 3 5 not upgraded"},
      {"both",
       {.exitCode = 1, .sockets = kThirdAndFifth, .cause = DiffersInMainChunk2()},
       "main read-back chunk 2: read-back differs at offset 12288; sockets 3 5 not upgraded"},
      {"one socket",
       {.exitCode = 1, .sockets = link::SubSocketStatus{'U', 'U', 'U', 'U', 'U', 'U', 'U', 'X'}},
       "socket 8 not upgraded"},
      {"no programmer",
       {.exitCode = 3, .cause = NoProgrammerCause({})},
       "opening the programmer: no programmer found"},
      {"interrupted", {.exitCode = 130, .cause = DiffersInMainChunk2()}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FailedParts(c.result), c.parts) << c.name;
}

TEST(ProgrammerResult, SummaryHasHeadingsAndColumnsWideEnoughForTheNames) {
  const std::vector<ProgrammerResult> results = {
      {.name = "A-LONGER-NAME-1", .exitCode = 0},
      {.name = "1-2", .exitCode = 1, .sockets = kThirdAndFifth},
      {.name = "X", .exitCode = 130},
  };
  EXPECT_EQ(SummaryText(results),
            "== summary ==\n"
            "programmer       exit  result\n"
            "A-LONGER-NAME-1  0     ok\n"
            "1-2              1     the report shows a failure: sockets 3 5 not upgraded\n"
            "X                130   interrupted\n");
}

TEST(ProgrammerResult, WrittenLineGroupsThousands) {
  struct Case {
    std::size_t main, sub;
    long ms;
    std::string line;
  };
  for (const Case& c : {Case{217772, 61172, 4249,
                             "wrote 278,944 bytes (main 217,772 + sub "
                             "61,172) in 4.2 s"},
                        Case{999, 1000, 50, "wrote 1,999 bytes (main 999 + sub 1,000) in 0.1 s"},
                        Case{1234567, 0, 12000, "wrote 1,234,567 bytes in 12.0 s"},
                        Case{0, 0, 0, "wrote 0 bytes in 0.0 s"}}) {
    const ProgrammerResult r{.mainBytesWritten = c.main,
                             .subBytesWritten = c.sub,
                             .took = std::chrono::milliseconds(c.ms)};
    EXPECT_EQ(WrittenLine(r), c.line);
  }
}

// The cause in the document is the object --progress json prints, without the device there.
TEST(ProgrammerResult, TheCauseIsTheProgressCauseObject) {
  const ProgrammerResult r{.name = "VIRTUAL2", .exitCode = 1, .cause = DiffersInMainChunk2()};
  EXPECT_EQ(ProgrammerJson(r)["cause"].dump(),
            R"({"cause":"main read-back chunk 2: read-back differs at offset 12288",)"
            R"("number":2,"offset":12288,"step":"main read-back chunk","transfer":"ok",)"
            R"("what":"read-back-differs"})");
}

}  // namespace
}  // namespace torv2::cli
