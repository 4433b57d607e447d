#pragma once
// An UpgradeHost that shows nothing and counts the messages it was asked to show: for
// benchmarks and long runs.

#include <utility>

#include "upgrade/upgrade_host.h"

namespace torv2::testing {

class QuietHost : public upgrade::UpgradeHost {
  class Sink : public link::ProgressSink {
   public:
    void SetLabel(std::string_view, bool) override {}
    void SetPercent(int) override {}
  };

 public:
  link::ProgressSink& Progress() override { return sink_; }
  void ShowMessage(std::string_view) override { ++messages; }
  void ShowResult(const upgrade::UpgradeReport&) override {}
  void EnableUpdateButton(bool) override {}
  void ShowCurrentVersion(std::string_view) override {}
  void EndProgram() override {}

  int messages = 0;

 private:
  Sink sink_;
};

}  // namespace torv2::testing
