// torv2-upgrader-cli --json end to end, through real libusb: the launcher attaches virtual
// programmers over umockdev and runs the command line program; stdout must be one JSON document
// that parses, and every programmer's object must hold to the schema written down in
// docs/json.md (the table below is that schema, field by field).

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

using torv2::test::Outcome;

// Runs argv with stdout and stderr captured, no shell in between, with the history's default
// place the test's own (what one test leaves would change what another reports).
Outcome RunCaptured(const std::vector<std::string>& args) {
  return torv2::test::RunCaptured(args, nullptr,
                                  {.stateHome = torv2::test::TestStateHome(TORV2_TEST_STATE)});
}

// The command line under the launcher, with these launcher options.
Outcome RunCli(const std::vector<std::string>& launcher, const std::vector<std::string>& cli) {
  std::vector<std::string> args{TORV2_LAUNCHER_BIN};
  args.insert(args.end(), launcher.begin(), launcher.end());
  args.insert(args.end(), {"--", TORV2_CLI});
  args.insert(args.end(), cli.begin(), cli.end());
  return RunCaptured(args);
}

// --- The schema, as docs/json.md writes it down ---------------------------------------------

enum class Type { String, Integer, Boolean, Array, Object, Null };

bool Is(const json& value, Type type) {
  switch (type) {
    case Type::String:
      return value.is_string();
    case Type::Integer:
      return value.is_number_integer();
    case Type::Boolean:
      return value.is_boolean();
    case Type::Array:
      return value.is_array();
    case Type::Object:
      return value.is_object();
    case Type::Null:
      return value.is_null();
  }
  return false;
}

struct Field {
  const char* name;
  std::vector<Type> types;
  bool required = true;
};

using T = Type;

// One programmer's object (status, upgrade; each element of --all's array).
const std::vector<Field> kProgrammerFields = {
    {"schema", {T::Integer}},
    {"command", {T::String}},
    {"programmer", {T::String, T::Null}},
    {"serial", {T::String, T::Null}},
    {"port", {T::String, T::Null}},
    {"address", {T::String, T::Null}},
    {"version_carried", {T::String, T::Null}},
    {"version_current", {T::String, T::Null}},
    {"up_to_date", {T::Boolean}},
    {"outcome", {T::String}},
    {"exit_code", {T::Integer}},
    {"sockets", {T::Array, T::Null}},
    {"cause", {T::Object, T::Null}},
    {"bytes_written", {T::Integer}},
    {"time_ms", {T::Integer}},
    {"last_unfinished", {T::Object}, false},
};

// Each element of "sockets".
const std::vector<Field> kSocketFields = {{"socket", {T::Integer}}, {"state", {T::String}}};

// The cause object (the same as --progress json prints), the fields every cause has; the rest
// are there when they apply.
const std::vector<Field> kCauseFields = {
    {"cause", {T::String}},
    {"step", {T::String}},
    {"what", {T::String}},
    {"transfer", {T::String}},
    {"number", {T::Integer}, false},
    {"timeout_ms", {T::Integer}, false},
    {"before", {T::String}, false},
    {"offset", {T::Integer}, false},
    {"got", {T::Integer}, false},
    {"wanted", {T::Integer}, false},
    {"answer", {T::String}, false},
    {"stopped_at", {T::String}, false},
    {"unchecked", {T::Array}, false},
    {"device", {T::String}, false},
};

// `list --json`.
const std::vector<Field> kListFields = {
    {"schema", {T::Integer}},    {"command", {T::String}},    {"outcome", {T::String}},
    {"exit_code", {T::Integer}}, {"programmers", {T::Array}}, {"cause", {T::Object, T::Null}},
};
const std::vector<Field> kListedFields = {
    {"programmer", {T::String, T::Null}}, {"serial", {T::String, T::Null}},
    {"port", {T::String, T::Null}},       {"address", {T::String, T::Null}},
    {"detail", {T::String, T::Null}},
};

// `info --json`.
const std::vector<Field> kInfoFields = {
    {"schema", {T::Integer}},
    {"command", {T::String}},
    {"program_version", {T::String}},
    {"main_image", {T::Object, T::Null}},
    {"sub_image", {T::Object, T::Null}},
    {"version_carried", {T::String, T::Null}},
    {"outcome", {T::String}},
    {"exit_code", {T::Integer}},
};

// `history --summary --json`, each element.
const std::vector<Field> kSummaryFields = {
    {"device", {T::String, T::Null}},       {"version", {T::String, T::Null}},
    {"last_upgrade", {T::String, T::Null}}, {"outcome", {T::String, T::Null}},
    {"detail", {T::String, T::Null}},
};

// The outcome words and the exit codes they go with.
const std::vector<std::pair<std::string, int>> kOutcomes = {{"ok", 0},      {"report-failure", 1},
                                                            {"stopped", 2}, {"not-ready", 3},
                                                            {"usage", 64},  {"interrupted", 130}};

// Every required field there with one of its types, every optional one of its types when
// there, and no field the schema does not know.
void HoldsTo(const json& object, const std::vector<Field>& fields, const std::string& where) {
  ASSERT_TRUE(object.is_object()) << where << ": not an object: " << object.dump();
  std::set<std::string> known;
  for (const Field& field : fields) {
    known.insert(field.name);
    const auto it = object.find(field.name);
    if (it == object.end()) {
      EXPECT_FALSE(field.required)
          << where << ": lacks \"" << field.name << "\": " << object.dump();
      continue;
    }
    bool typed = false;
    for (const Type type : field.types) typed = typed || Is(*it, type);
    EXPECT_TRUE(typed) << where << ": \"" << field.name << "\" has the wrong type: " << it->dump();
  }
  for (const auto& [name, value] : object.items()) {
    EXPECT_TRUE(known.contains(name)) << where << ": a field the schema lacks: \"" << name << "\"";
  }
}

void CauseHoldsTo(const json& cause, const std::string& where) {
  if (cause.is_null()) return;
  HoldsTo(cause, kCauseFields, where + " cause");
}

// A programmer's object, all of it: its fields, its sockets, its cause, and an outcome that
// goes with its exit code.
void ProgrammerHoldsTo(const json& object, const std::string& where) {
  HoldsTo(object, kProgrammerFields, where);
  if (!object.is_object()) return;
  EXPECT_EQ(object.value("schema", 0), 1) << where;
  bool paired = false;
  for (const auto& [word, code] : kOutcomes) {
    paired =
        paired || (object.value("outcome", "") == word && object.value("exit_code", -1) == code);
  }
  EXPECT_TRUE(paired) << where << ": outcome and exit code do not go together: " << object.dump();
  if (object["sockets"].is_array()) {
    ASSERT_EQ(object["sockets"].size(), 8u) << where;
    for (std::size_t i = 0; i < 8; ++i) {
      const json& socket = object["sockets"][i];
      HoldsTo(socket, kSocketFields, where + " socket");
      EXPECT_EQ(socket.value("socket", 0), static_cast<int>(i + 1)) << where;
      const std::string state = socket.value("state", "");
      EXPECT_TRUE(state == "OK" || state == "BAD") << where << ": state " << state;
    }
  }
  CauseHoldsTo(object["cause"], where);
}

// stdout as one document; a failure when it is anything else.
json Document(const Outcome& run) {
  json document = json::parse(run.out, nullptr, false);
  EXPECT_FALSE(document.is_discarded()) << "stdout is not one JSON document:\n"
                                        << run.out << "--- stderr:\n"
                                        << run.err;
  return document;
}

std::vector<std::string> SocketStates(const json& object) {
  std::vector<std::string> states;
  for (const json& socket : object["sockets"]) states.push_back(socket.value("state", ""));
  return states;
}

const std::vector<std::string> kAllOk(8, "OK");

// --- status and upgrade, one programmer -----------------------------------------------------

struct JsonCase {
  const char* name;
  std::vector<std::string> launcher;
  std::vector<std::string> cli;
  int exitCode;
  std::function<void(const json&)> check;  // what this row adds to the schema
  friend void PrintTo(const JsonCase& c, std::ostream* os) { *os << c.name; }
};

class CliJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(CliJson, OneDocumentThatHoldsToTheSchema) {
  const JsonCase& c = GetParam();
  const Outcome run = RunCli(c.launcher, c.cli);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
  const json document = Document(run);
  if (document.is_discarded()) return;
  if (document.is_array()) {
    for (const json& object : document) ProgrammerHoldsTo(object, c.name);
  } else {
    ProgrammerHoldsTo(document, c.name);
  }
  c.check(document);
}

const std::vector<std::string> kJsonUpgrade{"--json", "--progress", "none", "upgrade"};
const std::vector<std::string> kJsonStatus{"--json", "--progress", "none", "status"};
const std::vector<std::string> kJsonAllUpgrade{"--json", "--progress", "none", "--all", "upgrade"};

INSTANTIATE_TEST_SUITE_P(
    Rows, CliJson,
    ::testing::Values(
        JsonCase{"Upgrade",
                 {},
                 kJsonUpgrade,
                 0,
                 [](const json& d) {
                   EXPECT_EQ(d["command"], "upgrade");
                   EXPECT_EQ(d["programmer"], "VIRTUAL1");
                   EXPECT_EQ(d["serial"], "VIRTUAL1");
                   EXPECT_EQ(d["port"], "1-1");
                   EXPECT_EQ(d["address"], "001:002");
                   EXPECT_EQ(d["version_carried"], "2.08");
                   EXPECT_EQ(d["version_current"], "2.08");
                   EXPECT_EQ(d["up_to_date"], true);
                   EXPECT_EQ(d["outcome"], "ok");
                   EXPECT_EQ(SocketStates(d), kAllOk);
                   EXPECT_TRUE(d["cause"].is_null());
                   EXPECT_GT(d.value("bytes_written", 0), 0);
                   EXPECT_GE(d.value("time_ms", -1), 0);
                 }},
        JsonCase{"Status",
                 {},
                 kJsonStatus,
                 0,
                 [](const json& d) {
                   EXPECT_EQ(d["command"], "status");
                   EXPECT_EQ(d["programmer"], "VIRTUAL1");
                   EXPECT_EQ(d["version_carried"], "2.08");
                   EXPECT_EQ(d["version_current"], "2.07");
                   EXPECT_EQ(d["up_to_date"], false);
                   EXPECT_TRUE(d["sockets"].is_null());
                   EXPECT_EQ(d["bytes_written"], 0);
                 }},
        // A programmer already on the carried version is up to date, and so is a newer one.
        JsonCase{"StatusUpToDate",
                 {"--version", "MainExe - TORV2 Execute V02.08"},
                 kJsonStatus,
                 0,
                 [](const json& d) { EXPECT_EQ(d["up_to_date"], true); }},
        JsonCase{"StatusNewer",
                 {"--version", "MainExe - TORV2 Execute V02.10"},
                 kJsonStatus,
                 0,
                 [](const json& d) { EXPECT_EQ(d["up_to_date"], true); }},
        JsonCase{"StatusVersionUnread",
                 {"--fault", "command-ack:2:junk"},
                 kJsonStatus,
                 3,
                 [](const json& d) {
                   EXPECT_EQ(d["outcome"], "not-ready");
                   EXPECT_TRUE(d["version_current"].is_null());
                   EXPECT_EQ(d["up_to_date"], false);
                   EXPECT_EQ(d["cause"]["step"], "version query");
                 }},
        JsonCase{"ReportFailure",
                 {"--fault", "read-chunk:2:corrupt"},
                 kJsonUpgrade,
                 1,
                 [](const json& d) {
                   EXPECT_EQ(d["outcome"], "report-failure");
                   EXPECT_EQ(d["cause"]["step"], "main read-back chunk");
                   EXPECT_EQ(d["cause"]["what"], "read-back-differs");
                   EXPECT_EQ(d["cause"]["offset"], 12288);
                   EXPECT_EQ(SocketStates(d), kAllOk);
                 }},
        JsonCase{"SocketNotUpgraded",
                 {"--sockets", "UUXUUUUU"},
                 kJsonUpgrade,
                 1,
                 [](const json& d) {
                   EXPECT_EQ(SocketStates(d), (std::vector<std::string>{"OK", "OK", "BAD", "OK",
                                                                        "OK", "OK", "OK", "OK"}));
                 }},
        // Stopped part-way: no socket states, the sub image never written.
        JsonCase{"Stopped",
                 {"--fault", "block-status:1:refuse"},
                 kJsonUpgrade,
                 2,
                 [](const json& d) {
                   EXPECT_EQ(d["outcome"], "stopped");
                   EXPECT_TRUE(d["sockets"].is_null());
                   EXPECT_EQ(d["cause"]["step"], "sub block");
                   EXPECT_EQ(d["cause"]["answer"], "\"Error\"");
                 }},
        // Nothing found: still one document, with why.
        JsonCase{"NoProgrammer",
                 {"--count", "0", "--decoy"},
                 kJsonUpgrade,
                 3,
                 [](const json& d) {
                   EXPECT_EQ(d["outcome"], "not-ready");
                   EXPECT_TRUE(d["programmer"].is_null());
                   EXPECT_EQ(d["cause"]["step"], "opening the programmer");
                   EXPECT_EQ(d["cause"]["what"], "not-found");
                 }},
        JsonCase{"NoProgrammerByThatName",
                 {"--two"},
                 {"--json", "--device", "NOSUCH", "--progress", "none", "status"},
                 3,
                 [](const json& d) {
                   EXPECT_EQ(d["outcome"], "not-ready");
                   EXPECT_EQ(d["cause"]["what"], "not-found");
                 }},
        // --all: an array in name order, one object for each, the failing one with its cause.
        JsonCase{"AllOneReportFails",
                 {"--count", "3", "--fault", "read-chunk:2:corrupt", "--faults-on", "2"},
                 kJsonAllUpgrade,
                 1,
                 [](const json& d) {
                   ASSERT_TRUE(d.is_array());
                   ASSERT_EQ(d.size(), 3u);
                   EXPECT_EQ(d[0]["programmer"], "VIRTUAL1");
                   EXPECT_EQ(d[1]["programmer"], "VIRTUAL2");
                   EXPECT_EQ(d[2]["programmer"], "VIRTUAL3");
                   EXPECT_EQ(d[0]["outcome"], "ok");
                   EXPECT_EQ(d[1]["outcome"], "report-failure");
                   EXPECT_EQ(d[1]["cause"]["what"], "read-back-differs");
                   EXPECT_TRUE(d[1]["cause"].contains("device") == false);
                   EXPECT_EQ(d[2]["outcome"], "ok");
                 }},
        JsonCase{"AllStatusOneStops",
                 {"--two", "--fault", "block-status:1:refuse", "--faults-on", "1"},
                 kJsonAllUpgrade,
                 2,
                 [](const json& d) {
                   ASSERT_EQ(d.size(), 2u);
                   EXPECT_EQ(d[0]["outcome"], "stopped");
                   EXPECT_EQ(d[1]["outcome"], "ok");
                 }},
        // Programmers that share a name are each in the array, not worked on.
        JsonCase{"AllNamesakes",
                 {"--two", "--serial", "SAME"},
                 kJsonAllUpgrade,
                 3,
                 [](const json& d) {
                   ASSERT_TRUE(d.is_array());
                   ASSERT_EQ(d.size(), 2u);
                   EXPECT_EQ(d[0]["port"], "1-1");
                   EXPECT_EQ(d[1]["port"], "1-2");
                   EXPECT_EQ(d[0]["outcome"], "not-ready");
                 }},
        JsonCase{"AllWithoutAProgrammer",
                 {"--count", "0", "--decoy"},
                 kJsonAllUpgrade,
                 3,
                 [](const json& d) {
                   ASSERT_TRUE(d.is_array());
                   ASSERT_EQ(d.size(), 1u);
                   EXPECT_TRUE(d[0]["programmer"].is_null());
                   EXPECT_EQ(d[0]["cause"]["what"], "not-found");
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// The progress objects name the programmer used, as list does, also when it is the only one.
TEST(CliJsonProgress, NamesTheProgrammer) {
  const Outcome run = RunCli({"--serial", ""}, {"--progress", "json", "upgrade"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find(R"({"device":"1-1","image":"sub","percent":100,"phase":"Verify"})"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find(R"("device":"usb")"), std::string::npos) << run.err;
}

// --- list, info, history --------------------------------------------------------------------

TEST(CliJsonList, TheProgrammersAsObjects) {
  const Outcome run = RunCli({"--two"}, {"--json", "list"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const json d = Document(run);
  HoldsTo(d, kListFields, "list");
  EXPECT_EQ(d["outcome"], "ok");
  ASSERT_EQ(d["programmers"].size(), 2u) << run.out;
  for (const json& p : d["programmers"]) HoldsTo(p, kListedFields, "listed");
  EXPECT_EQ(d["programmers"][1],
            json::parse(R"({"programmer":"VIRTUAL2","serial":"VIRTUAL2","port":"1-2",)"
                        R"("address":"001:003","detail":"MS OS 2.0"})"));
}

TEST(CliJsonList, NoneIsStillADocument) {
  const Outcome run = RunCli({"--count", "0", "--decoy"}, {"--json", "list"});
  EXPECT_EQ(run.exitCode, 3) << run.err;
  const json d = Document(run);
  HoldsTo(d, kListFields, "list");
  EXPECT_EQ(d["outcome"], "not-ready");
  EXPECT_TRUE(d["programmers"].empty());
  CauseHoldsTo(d["cause"], "list");
  EXPECT_EQ(d["cause"]["what"], "not-found");
  EXPECT_NE(run.err.find("USB UnConn: no programmer found\n"), std::string::npos) << run.err;
}

TEST(CliJsonInfo, TheCarriedImages) {
  const Outcome run = RunCaptured({TORV2_CLI, "--json", "info"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const json d = Document(run);
  HoldsTo(d, kInfoFields, "info");
  EXPECT_EQ(d["version_carried"], "2.08");
  EXPECT_EQ(d["outcome"], "ok");
  ASSERT_TRUE(d["main_image"].is_object()) << run.out;
  EXPECT_TRUE(d["main_image"]["bytes"].is_number_integer());
  EXPECT_TRUE(d["main_image"]["title"].is_string());
}

// An upgrade writes exactly the carried images, as info tells their sizes, and says so on stderr
// as well.
TEST(CliJsonUpgrade, BytesWrittenAreTheImages) {
  const json info = json::parse(RunCaptured({TORV2_CLI, "--json", "info"}).out, nullptr, false);
  ASSERT_TRUE(info.is_object());
  const long main = info["main_image"].value("bytes", 0L);
  const long sub = info["sub_image"].value("bytes", 0L);
  const Outcome run = RunCli({}, kJsonUpgrade);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const json d = Document(run);
  EXPECT_EQ(d.value("bytes_written", 0L), main + sub);
  const auto grouped = [](long n) {
    std::string digits = std::to_string(n);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
  };
  const std::regex line("wrote " + grouped(main + sub) + " bytes \\(main " + grouped(main) +
                        " \\+ sub " + grouped(sub) + "\\) in [0-9]+\\.[0-9] s\n");
  EXPECT_TRUE(std::regex_search(run.err, line)) << run.err;
}

std::string FreshHistory(const std::string& name) {
  const std::filesystem::path folder = std::filesystem::path(TORV2_TEST_STATE) / name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return (folder / "history.sqlite").string();
}

// history's own --json and the top-level one mean the same, with --summary too.
TEST(CliJsonHistory, EitherJsonFlagAndTheSummary) {
  const std::string history = FreshHistory("json");
  const Outcome upgrade = RunCli({"--two", "--fault", "read-chunk:2:corrupt", "--faults-on", "2"},
                                 {"--history", history, "--progress", "none", "--all", "upgrade"});
  ASSERT_EQ(upgrade.exitCode, 1) << upgrade.err;

  const Outcome after = RunCaptured({TORV2_CLI, "--history", history, "history", "--json"});
  const Outcome before = RunCaptured({TORV2_CLI, "--json", "--history", history, "history"});
  EXPECT_EQ(after.exitCode, 0) << after.err;
  EXPECT_EQ(before.exitCode, 0) << before.err;
  const json rows = Document(after);
  ASSERT_TRUE(rows.is_array());
  EXPECT_EQ(rows.size(), 2u) << after.out;
  EXPECT_EQ(Document(before), rows);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{TORV2_CLI, "--history", history, "history", "--summary", "--json"},
        std::vector<std::string>{TORV2_CLI, "--json", "--history", history, "history",
                                 "--summary"}}) {
    const Outcome summary = RunCaptured(args);
    EXPECT_EQ(summary.exitCode, 0) << summary.err;
    const json lines = Document(summary);
    ASSERT_TRUE(lines.is_array()) << summary.out;
    ASSERT_EQ(lines.size(), 2u) << summary.out;
    for (const json& l : lines) HoldsTo(l, kSummaryFields, "summary");
    EXPECT_EQ(lines[0]["device"], "VIRTUAL1");
    EXPECT_EQ(lines[0]["outcome"], "ok");
    EXPECT_EQ(lines[1]["device"], "VIRTUAL2");
    EXPECT_EQ(lines[1]["outcome"], "report failure");
    EXPECT_EQ(lines[1]["detail"], "main");
    EXPECT_EQ(lines[1]["version"], "2.08");
  }

  const Outcome both = RunCaptured({TORV2_CLI, "--json", "--history", history, "history", "--csv"});
  EXPECT_EQ(both.exitCode, 64);
  EXPECT_EQ(both.out, "");
}

}  // namespace
