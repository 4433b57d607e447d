#pragma once
// The upgrade's front end on a terminal: messages on stderr, the result report on stdout.

#include <atomic>
#include <cstdio>
#include <string>

#include "cli/progress_printer.h"
#include "upgrade/upgrade_host.h"

namespace torv2::cli {

class ConsoleHost : public upgrade::UpgradeHost {
 public:
  explicit ConsoleHost(ProgressPrinter& progress) : progress_(progress) {}

  link::ProgressSink& Progress() override { return progress_; }
  void ShowMessage(std::string_view text) override;
  void ShowResult(const upgrade::UpgradeReport& report) override;
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override { ended_ = true; }

  bool ended() const { return ended_; }

 private:
  ProgressPrinter& progress_;
  std::atomic<bool> ended_{false};
};

// The five report lines as text for a terminal (CR LF becomes LF).
std::string FormatReport(const upgrade::UpgradeReport& report);

}  // namespace torv2::cli
