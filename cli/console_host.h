#pragma once
// The upgrade's front end on a terminal: messages on stderr, the result report on stdout. With
// a device name (several programmers at once), each message begins with it and each report comes
// under a heading with it, written in one piece so reports of different devices never mix.

#include <atomic>
#include <cstdio>
#include <string>
#include <utility>

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

  bool ended() const { return ended_; }

 private:
  ProgressPrinter& progress_;
  std::string device_;
  std::atomic<bool> ended_{false};
};

// The five report lines as text for a terminal (CR LF becomes LF).
std::string FormatReport(const upgrade::UpgradeReport& report);

}  // namespace torv2::cli
