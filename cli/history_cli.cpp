#include "cli/history_cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "cli/exit_codes.h"
#include "history/attempt_recorder.h"
#include "history/history_file_check.h"
#include "history/history_files.h"
#include "history/history_format.h"
#include "history/history_path.h"
#include "history/history_store.h"
#include "history/since_time.h"

namespace torv2::cli {
namespace {

#ifdef _WIN32
constexpr char kDefaultPlace[] = "%LOCALAPPDATA%\\torv2-upgrader\\history.sqlite";
constexpr char kNoPlace[] = "Windows names no local application data folder for this user";
#else
constexpr char kDefaultPlace[] = "$XDG_STATE_HOME/torv2-upgrader/history.sqlite";
constexpr char kNoPlace[] = "set XDG_STATE_HOME or HOME";
#endif

void PrintWarning(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace

struct HistoryCli::State {
  std::string path;        // --history; empty: the default place
  bool pathGiven = false;  // --history was given (perhaps empty)
  bool off = false;        // --no-history
  std::string since;
  bool csv = false;
  bool summary = false;

  std::once_flag opened;
  std::unique_ptr<history::HistoryStore> store;

  std::filesystem::path Path() const {
    return path.empty() ? history::DefaultHistoryPath() : history::PathOfUtf8(path);
  }
  // Opens the store once, for every programmer's recorder; null when no history is kept.
  history::HistoryStore* Store() {
    if (off) return nullptr;
    std::call_once(opened, [this] {
      const std::filesystem::path where = Path();
      if (where.empty()) {
        PrintWarning(std::string("history: not kept: ") + kNoPlace + ", or give --history PATH");
        return;
      }
      store = std::make_unique<history::HistoryStore>(where, PrintWarning);
    });
    return store.get();
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
      name == "history" ? std::string("The history file to read (default: ") + kDefaultPlace + ")"
                        : std::string("The history file (default: ") + kDefaultPlace + ")");
  path->each([&s](const std::string&) { s.pathGiven = true; });
  if (name != "history") {
    command.add_flag("--no-history", s.off, "Keep no history of this run")->excludes(path);
    return;
  }
  command.add_option("--since", s.since,
                     "Only from this UTC date or time on (2026-12-10, 2026-12-10T16:30), or a "
                     "local time with its offset (2026-12-10T16:30+01:00)");
  auto* csv = command.add_flag("--csv", s.csv, "As CSV");
  if (CLI::Option* json = command.get_option_no_throw("--json")) csv->excludes(json);
  command.add_flag("--summary", s.summary,
                   "One line per programmer: the version it last reported, its last upgrade");
}

int HistoryCli::CheckArguments(const std::string& command) {
  State& s = *state_;
  if (command != "status" && command != "upgrade" && command != "history") return 0;
  if (command == "history" && !s.since.empty()) {
    std::string why;
    const auto utc = history::SinceInUtc(s.since, why);
    if (!utc) {
      std::fprintf(stderr,
                   "history: --since %s: %s; give a UTC date or time (2026-12-10, "
                   "2026-12-10T16:30) or a local time with its offset (2026-12-10T16:30+01:00)\n",
                   history::PrintableText(s.since).c_str(), why.c_str());
      return kExitUsage;
    }
    s.since = *utc;
  }
  if (s.off) return 0;
  const bool given = s.pathGiven;
  if (given && s.path.empty()) {
    std::fprintf(stderr, "history: --history needs a file name; --no-history keeps nothing\n");
    return kExitUsage;
  }
  const std::filesystem::path path = s.Path();
  if (path.empty()) return 0;  // no place for it: said where it matters
  // The default place is made on the first row; a folder the user named must be there.
  if (const auto why = history::WhyNotAHistoryFile(
          path, given ? history::MissingFolder::Refuse : history::MissingFolder::Make)) {
    std::fprintf(stderr, "history: cannot use %s as the history file: %s\n",
                 history::PrintableText(history::Utf8Name(path)).c_str(), why->c_str());
    return kExitUsage;
  }
  return 0;
}

int HistoryCli::Show(const std::string& device, bool json) {
  State& s = *state_;
  // --since was checked and turned into UTC by CheckArguments().
  const history::ReadFilter filter{device, s.since};
  const std::filesystem::path path = s.Path();
  std::vector<history::AttemptRow> rows;
  std::error_code error;
  if (path.empty()) {
    std::fprintf(stderr, "history: no place for it: %s, or give --history PATH\n", kNoPlace);
    return kExitUsage;
  }
  if (!std::filesystem::exists(path, error)) {
    std::fprintf(stderr, "history: nothing kept yet in %s\n", history::Utf8Name(path).c_str());
  } else {
    history::HistoryStore store(path, PrintWarning);
    std::string why;
    auto read = store.Read(filter, why);
    if (!read) {
      std::fprintf(stderr, "history: cannot read %s: %s\n", history::Utf8Name(path).c_str(),
                   why.c_str());
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
  if (!s.Store()) return nullptr;
  history::RecorderSettings settings{.program = "torv2-upgrader-cli",
                                     .versionCarried = versionCarried,
                                     .identity =
                                         [name, busAddress] {
                                           return history::ProgrammerIdentity{name, busAddress};
                                         },
                                     .statusIsPartOfUpgrade = statusIsPartOfUpgrade};
  return std::make_unique<history::AttemptRecorder>(*s.store, std::move(settings));
}

std::optional<UnfinishedUpgrade> HistoryCli::LastUnfinished(const std::string& name) {
  if (name.empty()) return std::nullopt;  // rows without a name may be any programmer's
  history::HistoryStore* store = state_->Store();
  if (!store) return std::nullopt;
  std::string why;
  const auto rows = store->Read({.device = name, .since = {}}, why);
  if (!rows) return std::nullopt;  // the row at the end warns about the file
  return history::LastUnfinishedUpgrade(*rows);
}

}  // namespace torv2::cli
