// What upgrade --watch makes of arrivals, removals and attempts' ends, without USB: a table of
// event sequences and what each leads to.

#include "cli/watch_book.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace torv2::cli {
namespace {

AttachedProgrammer At(std::string address, std::string serial, std::string port = "1-1") {
  AttachedProgrammer p;
  p.address = std::move(address);
  p.serial = std::move(serial);
  p.port = std::move(port);
  return p;
}

// A programmer as Windows lists it: no bus address; its interface path stays the same when it
// comes back on the same port.
AttachedProgrammer OnWindows(std::string serial) {
  AttachedProgrammer p;
  p.serial = serial;
  p.port = "pci1400-1";
  p.interfacePath = "\\\\?\\USB#VID_1209&PID_0001#" + serial + "#{b91d9e33}";
  return p;
}

// One step of a sequence: a programmer arrives or leaves, the next attempt starts, or the attempt
// under way on programmer `id` ends.
struct Step {
  enum Kind { Arrive, Leave, Start, End, Retry } kind;
  AttachedProgrammer programmer;  // Arrive; Leave: its place (address or path)
  AttemptEnd end = AttemptEnd::Ok;
  // Arrive: whether it is new; Start: the serial number started, "" for none; End: what follows.
  std::string expected;
};

std::string ThenText(WatchBook::Then then) {
  switch (then) {
    case WatchBook::Then::Nothing:
      return "nothing";
    case WatchBook::Then::TryAgain:
      return "try again";
    case WatchBook::Then::LeftAlone:
      return "left alone";
    case WatchBook::Then::WaitUntilFree:
      return "wait until free";
  }
  return "?";
}

struct Case {
  std::string name;
  std::string device;
  std::vector<Step> steps;
};

class WatchBookCase : public ::testing::TestWithParam<Case> {};

TEST_P(WatchBookCase, FollowsTheSequence) {
  WatchBook book(GetParam().device);
  std::uint64_t underWay = 0;
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    const Step& step = GetParam().steps[i];
    SCOPED_TRACE("step " + std::to_string(i + 1));
    switch (step.kind) {
      case Step::Arrive:
        EXPECT_EQ(book.Arrived(step.programmer) ? "new" : "known", step.expected);
        break;
      case Step::Leave:
        book.Left(Where(step.programmer));
        break;
      case Step::Start: {
        const auto next = book.Next();
        EXPECT_EQ(next ? next->programmer.serial + "@" + Where(next->programmer) : "",
                  step.expected);
        if (next) underWay = next->id;
        break;
      }
      case Step::End:
        EXPECT_EQ(ThenText(book.Ended(underWay, step.end)), step.expected);
        break;
      case Step::Retry:
        book.Retry();
        break;
    }
  }
}

using enum AttemptEnd;
const Step kArriveA{Step::Arrive, At("001:002", "A"), Ok, "new"};
const Step kStartA{Step::Start, {}, Ok, "A@001:002"};

Step Arrive(const AttachedProgrammer& p, const std::string& expected) {
  return {Step::Arrive, p, Ok, expected};
}
Step Leave(const std::string& address) {
  return {Step::Leave, At(address, ""), Ok, ""};
}
Step Leave(const AttachedProgrammer& p) {
  return {Step::Leave, p, Ok, ""};
}
Step Start(const std::string& expected) {
  return {Step::Start, {}, Ok, expected};
}
Step End(AttemptEnd end, const std::string& expected) {
  return {Step::End, {}, end, expected};
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, WatchBookCase,
    ::testing::Values(
        // Upgraded and left plugged in: never again, also when the bus says it twice.
        Case{"DoneStaysDone",
             "",
             {kArriveA, kStartA, End(Ok, "nothing"), Arrive(At("001:002", "A"), "known"),
              Start("")}},
        // Restarting during its own attempt ("ResetNow"): the same attempt at the new address.
        Case{"RestartIsTheSameAttempt",
             "",
             {kArriveA, kStartA, Leave("001:002"), Arrive(At("001:005", "A"), "known"), Start(""),
              End(Ok, "nothing"), Arrive(At("001:005", "A"), "known"), Start("")}},
        // Pulled out during its attempt and plugged back after it ended: a new arrival.
        Case{"PulledOutThenBackIsNew",
             "",
             {kArriveA, kStartA, Leave("001:002"), End(Gone, "nothing"),
              Arrive(At("001:006", "A"), "new"), Start("A@001:006")}},
        // The attempt saw it go before the bus did: its removal ends it all the same.
        Case{"GoneBeforeTheRemoval",
             "",
             {kArriveA, kStartA, End(Gone, "nothing"), Start(""), Leave("001:002"),
              Arrive(At("001:007", "A"), "new"), Start("A@001:007")}},
        // Three failures in a row: left alone until it is plugged in again.
        Case{"ThreeFailuresLeaveItAlone",
             "",
             {kArriveA, kStartA, End(Failed, "try again"), kStartA, End(Failed, "try again"),
              kStartA, End(Failed, "left alone"), Start(""), Leave("001:002"),
              Arrive(At("001:008", "A"), "new"), Start("A@001:008"), End(Failed, "try again")}},
        // Busy is no failure: it waits for the retry, and three busy ends leave nothing alone.
        Case{"BusyWaitsAndCountsNoFailure",
             "",
             {kArriveA,
              kStartA,
              End(Busy, "wait until free"),
              Start(""),
              {Step::Retry},
              kStartA,
              End(Busy, "wait until free"),
              {Step::Retry},
              kStartA,
              End(Failed, "try again"),
              kStartA,
              End(Busy, "wait until free"),
              {Step::Retry},
              kStartA,
              End(Failed, "try again"),
              kStartA,
              End(Ok, "nothing")}},
        // Two without serial numbers, one after the other on the same port: both are new.
        Case{"SamePortOneAfterTheOther",
             "",
             {Arrive(At("001:002", "", "1-3"), "new"), Start("@001:002"), End(Ok, "nothing"),
              Leave("001:002"), Arrive(At("001:003", "", "1-3"), "new"), Start("@001:003")}},
        // On Windows it comes back under the same path: restarting during its attempt is still
        // the same attempt, and told twice it is still known.
        Case{"RestartUnderTheSamePath",
             "",
             {Arrive(OnWindows("A"), "new"), Start("A@" + OnWindows("A").interfacePath),
              Leave(OnWindows("A")), Arrive(OnWindows("A"), "known"), Start(""), End(Ok, "nothing"),
              Arrive(OnWindows("A"), "known"), Start("")}},
        // Pulled out part-way and plugged back under the same path: a new arrival, whichever of
        // the attempt's end and the removal comes first.
        Case{"PulledOutThenBackUnderTheSamePath",
             "",
             {Arrive(OnWindows("A"), "new"), Start("A@" + OnWindows("A").interfacePath),
              Leave(OnWindows("A")), End(Gone, "nothing"), Arrive(OnWindows("A"), "new"),
              Start("A@" + OnWindows("A").interfacePath), End(Gone, "nothing"),
              Leave(OnWindows("A")), Arrive(OnWindows("A"), "new"),
              Start("A@" + OnWindows("A").interfacePath)}},
        // Pulled out and back before its attempt saw it go: a new arrival all the same, at the
        // new address on Linux and under the same path on Windows.
        Case{"BackBeforeTheAttemptSawItGo",
             "",
             {kArriveA, kStartA, Leave("001:002"), Arrive(At("001:009", "A"), "known"),
              End(Gone, "nothing"), Start("A@001:009")}},
        Case{"BackUnderTheSamePathBeforeTheAttemptSawItGo",
             "",
             {Arrive(OnWindows("A"), "new"), Start("A@" + OnWindows("A").interfacePath),
              Leave(OnWindows("A")), Arrive(OnWindows("A"), "known"), End(Gone, "nothing"),
              Start("A@" + OnWindows("A").interfacePath)}},
        // Two on Windows are told apart by their paths.
        Case{"TwoPathsTwoProgrammers",
             "",
             {Arrive(OnWindows("A"), "new"), Arrive(OnWindows("B"), "new"),
              Arrive(OnWindows("A"), "known"), Start("A@" + OnWindows("A").interfacePath),
              Start("B@" + OnWindows("B").interfacePath)}},
        // --device: the others are not taken.
        Case{"OnlyTheNamedOne",
             "B",
             {Arrive(At("001:002", "A"), "known"), Start(""),
              Arrive(At("001:003", "B", "1-2"), "new"), Start("B@001:003")}},
        // Newer firmware: nothing to try again.
        Case{
            "NewerFirmwareIsLeftAlone", "", {kArriveA, kStartA, End(Final, "nothing"), Start("")}}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The line each attempt ends with, and the last one.
TEST(WatchLine, SaysOutcomeVersionsBytesAndSeconds) {
  ProgrammerResult r{.command = "upgrade", .name = "VIRTUAL3", .versionCarried = 2.08};
  r.versionBefore = 2.07;
  r.versionCurrent = 2.08;
  r.exitCode = 0;
  r.mainBytesWritten = 217772;
  r.subBytesWritten = 61172;
  r.took = std::chrono::milliseconds(1749);
  EXPECT_EQ(WatchLine(r, EndOf(r, false, false)),
            "VIRTUAL3  OK  2.07 -> 2.08  278,944 bytes  1.7 s");
  r.skippedCurrent = true;
  EXPECT_EQ(WatchLine(r, AttemptEnd::Ok), "VIRTUAL3  current  2.07 -> 2.08  278,944 bytes  1.7 s");

  ProgrammerResult newer{.command = "upgrade", .name = "P", .versionCarried = 2.08};
  newer.versionCurrent = 2.09;
  newer.exitCode = 2;
  EXPECT_EQ(EndOf(newer, false, false), AttemptEnd::Final);
  EXPECT_EQ(EndOf(newer, true, false), AttemptEnd::Failed);
  newer.exitCode = 130;
  EXPECT_EQ(EndOf(newer, false, true), AttemptEnd::Interrupted);
  EXPECT_EQ(WatchLine(newer, AttemptEnd::Interrupted), "P  interrupted  ? -> 2.09  0 bytes  0.0 s");

  std::vector<ProgrammerResult> last(4);
  last[0].exitCode = 0;
  last[1].exitCode = 0;
  last[1].skippedCurrent = true;
  last[2].exitCode = 1;
  last[3].exitCode = 130;
  EXPECT_EQ(WatchCounts(last), "watch ended: 1 OK, 1 failed, 1 interrupted, 1 skipped (current)");
}

}  // namespace
}  // namespace torv2::cli
