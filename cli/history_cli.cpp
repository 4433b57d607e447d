#include "cli/history_cli.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <mutex>
#include <regex>

#include "cli/exit_codes.h"
#include "history/attempt_recorder.h"
#include "history/history_format.h"
#include "history/history_path.h"
#include "history/history_store.h"

namespace torv2::cli {
namespace {

void PrintWarning(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace

struct HistoryCli::State {
  std::string path;  // --history; empty: the default place
  bool off = false;  // --no-history
  std::string since;
  bool csv = false;
  bool summary = false;

  std::once_flag opened;
  std::unique_ptr<history::HistoryStore> store;

  std::filesystem::path Path() const {
    return path.empty() ? history::DefaultHistoryPath() : std::filesystem::path(path);
  }
};

HistoryCli::HistoryCli() : state_(std::make_unique<State>()) {}
HistoryCli::~HistoryCli() = default;

bool HistoryCli::Available() {
  return true;
}

void HistoryCli::AddTo(CLI::App& command) {
  State& s = *state_;
  const std::string name = command.get_name();
  if (name != "status" && name != "upgrade" && name != "history") return;
  auto* path = command.add_option(
      "--history", s.path,
      name == "history"
          ? "The history file to read (default: $XDG_STATE_HOME/torv2-upgrader/history.sqlite)"
          : "The history file (default: $XDG_STATE_HOME/torv2-upgrader/history.sqlite)");
  if (name != "history") {
    command.add_flag("--no-history", s.off, "Keep no history of this run")->excludes(path);
    return;
  }
  command.add_option("--since", s.since, "Only from this UTC date or time on (2026-12-10)");
  auto* csv = command.add_flag("--csv", s.csv, "As CSV");
  if (CLI::Option* json = command.get_option_no_throw("--json")) csv->excludes(json);
  command.add_flag("--summary", s.summary,
                   "One line per programmer: the version it last reported, its last upgrade");
}

int HistoryCli::Show(const std::string& device, bool json) {
  State& s = *state_;
  history::ReadFilter filter{device, s.since};
  static const std::regex kTime(R"(\d{4}-\d{2}-\d{2}(T\d{2}(:\d{2}(:\d{2}(\.\d{1,3})?)?)?)?Z?)");
  if (!filter.since.empty() && !std::regex_match(filter.since, kTime)) {
    std::fprintf(stderr,
                 "history: --since takes a UTC date or time, e.g. 2026-12-10 or "
                 "2026-12-10T16:30\n");
    return kExitUsage;
  }
  if (!filter.since.empty() && filter.since.back() == 'Z') filter.since.pop_back();

  const std::filesystem::path path = s.Path();
  std::vector<history::AttemptRow> rows;
  std::error_code error;
  if (path.empty()) {
    std::fprintf(stderr,
                 "history: no place for it: set XDG_STATE_HOME or HOME, or give "
                 "--history PATH\n");
    return kExitUsage;
  }
  if (!std::filesystem::exists(path, error)) {
    std::fprintf(stderr, "history: nothing kept yet in %s\n", path.string().c_str());
  } else {
    history::HistoryStore store(path, PrintWarning);
    std::string why;
    auto read = store.Read(filter, why);
    if (!read) {
      std::fprintf(stderr, "history: cannot read %s: %s\n", path.string().c_str(), why.c_str());
      return kExitStopped;
    }
    rows = std::move(*read);
  }
  const std::string text = s.summary && json ? history::FormatSummaryJson(rows)
                           : s.summary       ? history::FormatSummary(rows)
                           : json            ? history::FormatJson(rows)
                           : s.csv           ? history::FormatCsv(rows)
                                             : history::FormatTable(rows);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kExitOk;
}

std::unique_ptr<upgrade::AttemptObserver> HistoryCli::ObserverFor(const std::string& name,
                                                                  const std::string& busAddress,
                                                                  const std::string& versionCarried,
                                                                  bool statusIsPartOfUpgrade) {
  State& s = *state_;
  if (s.off) return nullptr;
  std::call_once(s.opened, [&s] {
    const std::filesystem::path path = s.Path();
    if (path.empty()) {
      PrintWarning("history: not kept: set XDG_STATE_HOME or HOME, or give --history PATH");
      return;
    }
    s.store = std::make_unique<history::HistoryStore>(path, PrintWarning);
  });
  if (!s.store) return nullptr;
  history::RecorderSettings settings{.program = "torv2-upgrader-cli",
                                     .versionCarried = versionCarried,
                                     .identity =
                                         [name, busAddress] {
                                           return history::ProgrammerIdentity{name, busAddress};
                                         },
                                     .statusIsPartOfUpgrade = statusIsPartOfUpgrade};
  return std::make_unique<history::AttemptRecorder>(*s.store, std::move(settings));
}

}  // namespace torv2::cli
