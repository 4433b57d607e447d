// The command line as people type it: every option before or after its command, only where it
// means something, and a usage error that names what is wrong and the nearest right word.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/history_cli.h"

namespace torv2::cli {
namespace {

struct Parsed {
  std::optional<int> ended;  // nullopt: the command runs
  Options options;
  std::string err;
  std::string out;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "torv2-upgrader-cli");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  Parsed parsed;
  HistoryCli history;
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  parsed.ended =
      ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.options, history);
  parsed.out = testing::internal::GetCapturedStdout();
  parsed.err = testing::internal::GetCapturedStderr();
  return parsed;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

#ifdef _WIN32
// No udev on Windows: neither that command nor its options.
const std::vector<std::string> kCommands{"info", "status", "upgrade", "list", "history"};
const std::vector<std::string> kAbsent{"--install", "--rules-dir", "--group"};
constexpr char kCommandNeeded[] = "a command is needed: info, status, upgrade, list, history";
#else
const std::vector<std::string> kCommands{"info", "status",  "upgrade",
                                         "list", "history", "udev-rule"};
const std::vector<std::string> kAbsent{};
constexpr char kCommandNeeded[] =
    "a command is needed: info, status, upgrade, list, history, udev-rule";
#endif

// Each option, the commands that take it, and what it sets.
struct OptionCase {
  std::vector<std::string> option;  // the option and its value
  std::vector<std::string> takenBy;
  std::function<bool(const Options&)> set;
};

const std::vector<OptionCase> kOptions{
    {{"--virtual"}, {"status", "upgrade", "list"}, [](const Options& o) { return o.useVirtual; }},
    {{"--device", "VIRTUAL2"},
     {"status", "upgrade", "list", "history"},
     [](const Options& o) { return o.device == "VIRTUAL2"; }},
    {{"--device=1-2"},
     {"status", "upgrade", "list", "history"},
     [](const Options& o) { return o.device == "1-2"; }},
    {{"--all"}, {"status", "upgrade"}, [](const Options& o) { return o.all; }},
    {{"--progress", "json"},
     {"status", "upgrade"},
     [](const Options& o) { return o.progress == "json"; }},
    {{"--trace"}, {"status", "upgrade"}, [](const Options& o) { return o.trace; }},
    {{"-v"}, {"status", "upgrade"}, [](const Options& o) { return o.verbose; }},
    {{"--verbose"}, {"status", "upgrade"}, [](const Options& o) { return o.verbose; }},
    {{"-q"}, {"status", "upgrade"}, [](const Options& o) { return o.quiet; }},
    {{"--json"},
     {"info", "status", "upgrade", "list", "history"},
     [](const Options& o) { return o.json; }},
    {{"--allow-older"}, {"upgrade"}, [](const Options& o) { return o.allowOlder; }},
    {{"--skip-current"}, {"upgrade"}, [](const Options& o) { return o.skipCurrent; }},
    // The production line, on Linux and on Windows alike.
    {{"--watch"}, {"upgrade"}, [](const Options& o) { return o.watch && o.jobs == 8; }},
    {{"--watch", "--jobs", "3"},
     {"upgrade"},
     [](const Options& o) { return o.watch && o.jobs == 3; }},
    {{"--history", "/tmp/h.sqlite"}, {"status", "upgrade", "history"}, nullptr},
    {{"--no-history"}, {"status", "upgrade"}, nullptr},
    {{"--since", "2026-12-10"}, {"history"}, nullptr},
    {{"--csv"}, {"history"}, nullptr},
    {{"--summary"}, {"history"}, nullptr},
    {{"--install"}, {"udev-rule"}, [](const Options& o) { return o.install; }},
    {{"--rules-dir", "/tmp/rules"},
     {"udev-rule"},
     [](const Options& o) { return o.rulesDir == "/tmp/rules"; }},
    {{"--group", "plugdev"},
     {"udev-rule"},
     [](const Options& o) { return o.ruleGroup == "plugdev"; }},
};

// The table of commands and options, each option both before and after its command.
TEST(CommandLine, EachOptionWorksBeforeAndAfterTheCommandsThatTakeIt) {
  for (const OptionCase& c : kOptions) {
    if (Contains(kAbsent, c.option.front())) continue;
    for (const std::string& command : kCommands) {
      for (const bool before : {true, false}) {
        std::vector<std::string> args = c.option;
        if (before) {
          args.push_back(command);
        } else {
          args.insert(args.begin(), command);
        }
        const std::string shown = ::testing::PrintToString(args);
        const Parsed parsed = Parse(args);
        if (Contains(c.takenBy, command)) {
          EXPECT_EQ(parsed.ended, std::nullopt) << shown << "\n" << parsed.err;
          EXPECT_EQ(parsed.options.command, command) << shown;
          if (c.set) {
            EXPECT_TRUE(c.set(parsed.options)) << shown;
          }
        } else {
          EXPECT_EQ(parsed.ended, std::optional<int>(64)) << shown;
          const std::string name = c.option.front().substr(0, c.option.front().find('='));
          const std::string said = command + " does not take " +
                                   (name == "-v"   ? "-v"
                                    : name == "-q" ? "-q"
                                                   : name);
          EXPECT_NE(parsed.err.find(said), std::string::npos) << shown << "\n" << parsed.err;
        }
      }
    }
  }
}

TEST(CommandLine, OptionsMixBeforeAndAfter) {
  const Parsed parsed = Parse({"--progress", "none", "upgrade", "--device", "VIRTUAL1", "-q"});
  ASSERT_EQ(parsed.ended, std::nullopt) << parsed.err;
  EXPECT_EQ(parsed.options.command, "upgrade");
  EXPECT_EQ(parsed.options.progress, "none");
  EXPECT_EQ(parsed.options.device, "VIRTUAL1");
  EXPECT_TRUE(parsed.options.quiet);
}

// A value that looks like a command stays the option's value.
TEST(CommandLine, AValueIsNotTakenForTheCommand) {
  const Parsed parsed = Parse({"--device", "list", "status"});
  ASSERT_EQ(parsed.ended, std::nullopt) << parsed.err;
  EXPECT_EQ(parsed.options.command, "status");
  EXPECT_EQ(parsed.options.device, "list");
}

TEST(CommandLine, UsageErrorsSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const Case cases[] = {
      {{}, kCommandNeeded},
      {{"upgrd"}, "unknown command 'upgrd'; did you mean 'upgrade'?"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"status", "--devise", "X"}, "unknown option '--devise'; did you mean '--device'?"},
      {{"--all", "list"}, "list does not take --all (status, upgrade do)"},
      {{"info", "--device", "X"}, "info does not take --device (status, upgrade, list"},
      {{"status", "VIRTUAL2"},
       "status takes no argument 'VIRTUAL2' (a programmer is named with --device VIRTUAL2)"},
      // An unset variable in a script must not mean "any programmer".
      {{"upgrade", "--device", ""}, "an empty name names no programmer"},
      {{"--device", "  ", "status"}, "an empty name names no programmer"},
      {{"status", "-v", "-q"}, "--verbose excludes --quiet"},
      {{"upgrade", "--all", "--device", "VIRTUAL1"}, "excludes"},
      {{"status", "--progress", "fancy"}, "fancy"},
  };
  for (const Case& c : cases) {
    const std::string shown = ::testing::PrintToString(c.args);
    const Parsed parsed = Parse(c.args);
    EXPECT_EQ(parsed.ended, std::optional<int>(64)) << shown;
    EXPECT_NE(parsed.err.find(c.said), std::string::npos) << shown << "\n" << parsed.err;
    EXPECT_EQ(parsed.out, "") << shown;
  }
}

// Each command's help lists its own options, the shared ones it takes, and only the exit codes
// it can end with.
TEST(CommandLine, EachCommandsHelpIsItsOwn) {
  struct Case {
    std::string command;
    std::vector<std::string> has;
    std::vector<std::string> lacks;
  };
  const Case cases[] = {
      {"status",
       {"--device", "--all", "--progress", "--json", "-v,--verbose", "\n  3   ", "\n  130 "},
       {"\n  --allow-older", "--install", "\n  1   "}},
      {"upgrade", {"--allow-older", "--all", "\n  1   ", "\n  130 "}, {"--since"}},
      {"list", {"--device", "--json", "--virtual", "\n  3   "}, {"--all", "\n  130 ", "\n  1   "}},
      {"info", {"--json", "\n  2   "}, {"--device", "\n  3   ", "Examples"}},
      {"history", {"--since", "--summary", "--csv", "--json", "--device"}, {"--no-history"}},
      {"udev-rule", {"--install", "--rules-dir", "--id", "--group"}, {"--json", "\n  130 "}},
  };
  for (const Case& c : cases) {
    if (!Contains(kCommands, c.command)) continue;
    for (const bool before : {true, false}) {
      const Parsed parsed = before ? Parse({"--help", c.command}) : Parse({c.command, "--help"});
      EXPECT_EQ(parsed.ended, std::optional<int>(0)) << c.command;
      EXPECT_NE(parsed.out.find("Usage: torv2-upgrader-cli " + c.command), std::string::npos)
          << parsed.out;
      for (const std::string& text : c.has) {
        EXPECT_NE(parsed.out.find(text), std::string::npos) << c.command << " lacks " << text;
      }
      for (const std::string& text : c.lacks) {
        EXPECT_EQ(parsed.out.find(text), std::string::npos) << c.command << " has " << text;
      }
    }
  }
}

TEST(CommandLine, VersionAnswersWhereverItStands) {
  for (const auto& args :
       {std::vector<std::string>{"--version"}, std::vector<std::string>{"status", "--version"}}) {
    const Parsed parsed = Parse(args);
    EXPECT_EQ(parsed.ended, std::optional<int>(0));
    EXPECT_EQ(parsed.out.rfind("torv2-upgrader-cli ", 0), 0u) << parsed.out;
  }
}

}  // namespace
}  // namespace torv2::cli
