// The launcher's command line: what each fault option turns into on the programmers, and what
// is refused. No USB here.
#include "emulator/umockdev/launcher_options.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace torv2::emulator {
namespace {

// --- the names of steps and fault kinds ---

TEST(FaultKeys, EveryStepAndKindParsesBackFromItsKey) {
  for (std::size_t i = 0; i < kStepCount; ++i) {
    const auto step = static_cast<Step>(i);
    EXPECT_EQ(ParseStepKey(StepKey(step)), step) << StepKey(step);
  }
  using enum FaultKind;
  for (const FaultKind kind : {NoAnswer, Unplug, Junk, WrongLength, Refuse, Corrupt}) {
    EXPECT_EQ(ParseFaultKindKey(FaultKindKey(kind)), kind) << FaultKindKey(kind);
  }
}

struct StepFaultCase {
  const char* text;
  std::optional<StepFault> parsed;
};

class StepFaultText : public ::testing::TestWithParam<StepFaultCase> {};

TEST_P(StepFaultText, Parses) {
  EXPECT_EQ(ParseStepFault(GetParam().text), GetParam().parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StepFaultText,
    ::testing::Values(
        StepFaultCase{"read-chunk:2:corrupt", StepFault{Step::ReadChunk, 2, FaultKind::Corrupt}},
        StepFaultCase{"command-ack:1:no-answer",
                      StepFault{Step::CommandAck, 1, FaultKind::NoAnswer}},
        StepFaultCase{"final-verdict:12:wrong-length",
                      StepFault{Step::FinalVerdict, 12, FaultKind::WrongLength}},
        StepFaultCase{"block-status:1:refuse", StepFault{Step::BlockStatus, 1, FaultKind::Refuse}},
        StepFaultCase{"read-chunk:0:corrupt", std::nullopt},  // counted from 1
        StepFaultCase{"read-chunk:-1:corrupt", std::nullopt},
        StepFaultCase{"read-chunk:+2:corrupt", std::nullopt},
        StepFaultCase{"read-chunk:2x:corrupt", std::nullopt},
        StepFaultCase{"read-chunk::corrupt", std::nullopt},
        StepFaultCase{"read-chunk:99999999999:corrupt", std::nullopt},  // beyond int
        StepFaultCase{"read-chunk:2", std::nullopt}, StepFaultCase{"read-chunk", std::nullopt},
        StepFaultCase{"", std::nullopt},
        StepFaultCase{"read chunk:2:corrupt", std::nullopt},  // the display name is no key
        StepFaultCase{"read-chunk:2:corrupt byte", std::nullopt},
        StepFaultCase{"Read-Chunk:2:corrupt", std::nullopt},
        StepFaultCase{"read-chunk:2:corrupt:3", std::nullopt}),
    [](const auto& info) {
      std::string name = std::to_string(info.index) + "_";
      for (const char ch : std::string(info.param.text)) {
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
      }
      return name;
    });

// --- the launcher's options ---

struct ParseCase {
  const char* name;
  std::vector<std::string> arguments;  // before "-- true"
  bool accepted = true;
  // What the first programmer is plugged in as (when accepted).
  Faults faults = {};
  std::string sockets = "UUUUUUUU";
  std::string finalVerdict = "OK";
  friend void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }
};

class Options : public ::testing::TestWithParam<ParseCase> {};

void ExpectSameFaults(const Faults& got, const Faults& want) {
  EXPECT_EQ(got.nakFrames, want.nakFrames);
  EXPECT_EQ(got.upperCaseChecksums, want.upperCaseChecksums);
  EXPECT_EQ(got.junkBeforeReply, want.junkBeforeReply);
  EXPECT_EQ(got.a4StartMarker, want.a4StartMarker);
  EXPECT_EQ(got.noAnswer, want.noAnswer);
  EXPECT_EQ(got.splitWrites, want.splitWrites);
  EXPECT_EQ(got.mergeWrites, want.mergeWrites);
  EXPECT_EQ(got.atStep, want.atStep);
}

// The launcher's options as parsed from `arguments` followed by "-- true"; nullopt when refused.
std::optional<LauncherOptions> Parse(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "with-virtual-programmer");
  arguments.insert(arguments.end(), {"--", "true"});
  std::vector<const char*> argv;
  for (const std::string& a : arguments) argv.push_back(a.c_str());
  CLI::App app;
  LauncherOptions options;
  AddLauncherOptions(app, options);
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError&) {
    return std::nullopt;
  }
  return options;
}

TEST_P(Options, BecomeTheProgrammersKnobs) {
  const ParseCase& c = GetParam();
  const std::optional<LauncherOptions> parsed = Parse(c.arguments);
  ASSERT_EQ(parsed.has_value(), c.accepted);
  if (!parsed) return;
  const LauncherOptions& options = *parsed;
  EXPECT_EQ(options.command, std::vector<std::string>{"true"});

  const std::vector<VirtualUsbOptions> devices = DeviceOptionsFor(options);
  ASSERT_FALSE(devices.empty());
  for (const VirtualUsbOptions& device : devices) {
    SCOPED_TRACE(device.serial);
    if (device.guidSource == GuidSource::None) {
      // The decoy is never a programmer and gets no faults.
      ExpectSameFaults(device.faults, Faults{});
      continue;
    }
    ExpectSameFaults(device.faults, c.faults);
    const auto& states = device.settings.socketStatus;
    EXPECT_EQ(std::string(states.begin(), states.end()), c.sockets);
    EXPECT_EQ(device.settings.finalVerdict, c.finalVerdict);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Options,
    ::testing::Values(
        ParseCase{"Defaults", {}},
        ParseCase{"StepFault",
                  {"--fault", "read-chunk:2:corrupt"},
                  true,
                  {.atStep = StepFault{Step::ReadChunk, 2, FaultKind::Corrupt}}},
        ParseCase{"StepFaultWithEquals",
                  {"--fault=status-reply:1:unplug"},
                  true,
                  {.atStep = StepFault{Step::StatusReply, 1, FaultKind::Unplug}}},
        ParseCase{"EveryKnobAtOnceOnEveryProgrammer",
                  {"--two", "--decoy", "--nak", "2", "--upper-checksum", "3", "--junk-before-reply",
                   "xx yy", "--a4", "--no-answer", "--split", "7", "--merge", "--fault",
                   "block-status:1:refuse"},
                  true,
                  {.nakFrames = 2,
                   .upperCaseChecksums = 3,
                   .junkBeforeReply = "xx yy",
                   .a4StartMarker = true,
                   .noAnswer = true,
                   .splitWrites = 7,
                   .mergeWrites = true,
                   .atStep = StepFault{Step::BlockStatus, 1, FaultKind::Refuse}}},
        ParseCase{"Sockets", {"--sockets", "UUXUUUUU"}, true, {}, "UUXUUUUU"},
        ParseCase{"FinalVerdict", {"--final-verdict", "NG"}, true, {}, "UUUUUUUU", "NG"},
        ParseCase{"EmptyFinalVerdict", {"--final-verdict", ""}, true, {}, "UUUUUUUU", ""},
        ParseCase{"NoFaultNoNak", {"--nak", "0"}},
        ParseCase{"UnknownStep", {"--fault", "read-back:1:corrupt"}, false},
        ParseCase{"UnknownKind", {"--fault", "read-chunk:1:garble"}, false},
        ParseCase{"OccurrenceZero", {"--fault", "read-chunk:0:corrupt"}, false},
        ParseCase{"TwoStepFaults",
                  {"--fault", "read-chunk:1:corrupt", "--fault", "chunk-ack:1:junk"},
                  false},
        ParseCase{"NegativeNak", {"--nak", "-1"}, false},
        ParseCase{"NakNotANumber", {"--nak", "many"}, false},
        ParseCase{"NegativeUpperChecksum", {"--upper-checksum", "-2"}, false},
        ParseCase{"SplitZero", {"--split", "0"}, false},
        ParseCase{"SplitNegative", {"--split", "-64"}, false},
        ParseCase{"SevenSockets", {"--sockets", "UUUUUUU"}, false},
        ParseCase{"NineSockets", {"--sockets", "UUUUUUUUU"}, false},
        ParseCase{"SocketControlCharacter", {"--sockets", "UUU\tUUUU"}, false},
        ParseCase{"SerialTooLong", {"--serial", std::string(127, 'S')}, false},
        ParseCase{"SerialControlCharacter", {"--serial", "A\tB"}, false},
        ParseCase{"FaultsOnZero", {"--faults-on", "0"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// What each of several programmers is plugged in as: its serial number and its faults.
struct Programmer {
  std::string serial;
  bool faulty;
  friend bool operator==(const Programmer&, const Programmer&) = default;
  friend void PrintTo(const Programmer& p, std::ostream* os) {
    *os << p.serial << (p.faulty ? " faulty" : "");
  }
};

std::vector<Programmer> ProgrammersFor(std::vector<std::string> arguments) {
  const std::optional<LauncherOptions> options = Parse(std::move(arguments));
  if (!options) return {};
  std::vector<Programmer> out;
  for (const VirtualUsbOptions& d : DeviceOptionsFor(*options)) {
    out.push_back({d.serial, d.faults.noAnswer});
  }
  return out;
}

TEST(Programmers, SerialNumbersAndWhichOnesGetTheFaults) {
  EXPECT_EQ(ProgrammersFor({"--count", "3", "--no-answer"}),
            (std::vector<Programmer>{{"VIRTUAL1", true}, {"VIRTUAL2", true}, {"VIRTUAL3", true}}));
  EXPECT_EQ(
      ProgrammersFor({"--count", "3", "--no-answer", "--faults-on", "2"}),
      (std::vector<Programmer>{{"VIRTUAL1", false}, {"VIRTUAL2", true}, {"VIRTUAL3", false}}));
  EXPECT_EQ(ProgrammersFor({"--two", "--serial", "SAME"}),
            (std::vector<Programmer>{{"SAME", false}, {"SAME", false}}));
  EXPECT_EQ(ProgrammersFor({"--serial", ""}), (std::vector<Programmer>{{"", false}}));
  // The decoy keeps its own serial number.
  EXPECT_EQ(ProgrammersFor({"--decoy", "--serial", "X"}),
            (std::vector<Programmer>{{"DECOY", false}, {"X", false}}));
}

}  // namespace
}  // namespace torv2::emulator
