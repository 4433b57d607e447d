#pragma once
// The upgrade's front end on a terminal: messages on stderr, the result report on stdout. The
// cause of a failure follows the message (or the report) as one line "cause: ..."; with JSON
// progress, as one JSON object with its parts as fields. What to do comes after it (cli/advice.h);
// a cause the task goes on after is a warning. With -v each step is said as it happens. With
// a device name (several programmers at once), each message begins with it and each report comes
// under a heading with it, written in one piece so reports of different devices never mix.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/advice.h"
#include "cli/progress_printer.h"
#include "upgrade/upgrade_host.h"

namespace torv2::cli {

class ConsoleHost : public upgrade::UpgradeHost {
 public:
  explicit ConsoleHost(ProgressPrinter& progress, std::string device = {})
      : progress_(progress), device_(std::move(device)) {}

  link::ProgressSink& Progress() override { return progress_; }
  void ShowMessage(std::string_view text) override;
  void ShowResult(const upgrade::UpgradeReport& report) override;
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override { ended_ = true; }
  void LogCause(const upgrade::Cause& cause) override;
  void Step(std::string_view text) override;

  // Prints the causes that no message or report has taken along (a failed version query).
  void FlushCauses();

  // How to advise on causes; set before the first task.
  void SetAdvice(AdviceContext context);
  // The upgrade job begins: a failed version query from now on is the one after the job.
  void JobStarting();
  // Says each step on stderr (-v).
  void SetVerbose(bool verbose) { verbose_ = verbose; }
  // Prints `lines` on stderr, each beginning with the device's name when there is one.
  void Say(std::string_view lines);
  // The report goes into `text` instead of stdout: kept to be printed in order with the others
  // (several programmers at once), or left out (a JSON document instead). Null: stdout.
  void SendReportTo(std::string* text) { reportTo_ = text; }
  // The first cause logged, for a result that carries it.
  std::optional<upgrade::Cause> FirstCause();

  bool ended() const { return ended_; }

 private:
  // The causes logged since the last message or report, as the lines they print as.
  // `headline`: the message they come with; `afterReport`: they come after a completed job's
  // report.
  std::string TakeCauseLines(std::string_view headline, bool afterReport);
  std::string Prefixed(std::string_view lines) const;

  ProgressPrinter& progress_;
  std::string device_;
  std::atomic<bool> ended_{false};
  std::mutex mutex_;
  std::vector<upgrade::Cause> causes_;
  AdviceContext advice_;  // guarded by mutex_
  bool verbose_ = false;
  std::optional<upgrade::Cause> firstCause_;
  std::string* reportTo_ = nullptr;
};

// "cause: main chunk 2: time-out after 6000 ms (transfer: timed out)"
std::string CauseLine(const upgrade::Cause& cause);
// The cause as one JSON object: "cause" (the line's text), "step", "number", "what", "transfer",
// and what applies of "timeout_ms", "before", "offset", "got", "wanted", "answer", "stopped_at",
// "unchecked"; with "device" when given, and "warning": true for a cause the task went on after.
std::string CauseJson(const upgrade::Cause& cause, const std::string& device, bool warning = false);
// The same object (without "warning"), to be a part of a larger document.
nlohmann::json CauseObject(const upgrade::Cause& cause, const std::string& device = {});

// The five report lines as text for a terminal, each ending in a line break.
std::string FormatReport(const upgrade::UpgradeReport& report);

}  // namespace torv2::cli
