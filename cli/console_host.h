#pragma once
// The upgrade's front end on a terminal: messages on stderr, the result report on stdout. The
// cause of a failure follows the message (or the report) as one line "cause: ..."; with JSON
// progress, as one JSON object with its parts as fields. With
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

  // Prints the causes that no message or report has taken along (a failed version query).
  void FlushCauses();

  // The report goes into `text` instead of stdout: kept to be printed in order with the others
  // (several programmers at once), or left out (a JSON document instead). Null: stdout.
  void SendReportTo(std::string* text) { reportTo_ = text; }
  // The first cause logged, for a result that carries it.
  std::optional<upgrade::Cause> FirstCause();

  bool ended() const { return ended_; }

 private:
  // The causes logged since the last message or report, as the lines they print as.
  std::string TakeCauseLines();

  ProgressPrinter& progress_;
  std::string device_;
  std::atomic<bool> ended_{false};
  std::mutex mutex_;
  std::vector<upgrade::Cause> causes_;
  std::optional<upgrade::Cause> firstCause_;
  std::string* reportTo_ = nullptr;
};

// "cause: main chunk 2: time-out after 6000 ms (transfer: timed out)"
std::string CauseLine(const upgrade::Cause& cause);
// The cause as one JSON object: "cause" (the line's text), "step", "number", "what", "transfer",
// and what applies of "timeout_ms", "before", "offset", "got", "wanted", "answer", "stopped_at",
// "unchecked"; with "device" when given.
std::string CauseJson(const upgrade::Cause& cause, const std::string& device);
// The same object, to be a part of a larger document.
nlohmann::json CauseObject(const upgrade::Cause& cause, const std::string& device = {});

// The five report lines as text for a terminal, each ending in a line break.
std::string FormatReport(const upgrade::UpgradeReport& report);

}  // namespace torv2::cli
