#pragma once
// An UpgradeHost for tests: records what the upgrade shows, answers every dialog at once unless
// told to hold the result dialog open.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/recording_sink.h"
#include "upgrade/upgrade_host.h"

namespace torv2::testing {

class FakeHost : public upgrade::UpgradeHost {
 public:
  link::ProgressSink& Progress() override { return sink; }
  void ShowMessage(std::string_view text) override {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(text);
  }
  void ShowResult(const upgrade::UpgradeReport& report) override {
    std::unique_lock lock(mutex_);
    results_.push_back(report);
    resultShown_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdResult_; });
  }
  void EnableUpdateButton(bool enabled) override {
    std::lock_guard lock(mutex_);
    buttonStates_.push_back(enabled);
  }
  void ShowCurrentVersion(std::string_view text) override {
    std::lock_guard lock(mutex_);
    versions_.emplace_back(text);
  }
  void EndProgram() override {
    std::lock_guard lock(mutex_);
    ++ends_;
  }
  void LogCause(const upgrade::Cause& cause) override {
    std::lock_guard lock(mutex_);
    causes_.push_back(cause);
  }

  // Keeps the result dialog open until ReleaseResult().
  void HoldResult() {
    std::lock_guard lock(mutex_);
    holdResult_ = true;
  }
  // False when no result came within 10 s: a job that took its error path shows none, and the
  // test must fail rather than wait for ever.
  [[nodiscard]] bool WaitUntilResultShown() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return resultShown_; });
  }
  void ReleaseResult() {
    std::lock_guard lock(mutex_);
    holdResult_ = false;
    changed_.notify_all();
  }

  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<upgrade::UpgradeReport> results() const {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::vector<bool> buttonStates() const {
    std::lock_guard lock(mutex_);
    return buttonStates_;
  }
  std::vector<std::string> versions() const {
    std::lock_guard lock(mutex_);
    return versions_;
  }
  int ends() const {
    std::lock_guard lock(mutex_);
    return ends_;
  }
  std::vector<upgrade::Cause> causes() const {
    std::lock_guard lock(mutex_);
    return causes_;
  }

  RecordingSink sink;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool holdResult_ = false;
  bool resultShown_ = false;
  std::vector<std::string> messages_;
  std::vector<upgrade::UpgradeReport> results_;
  std::vector<bool> buttonStates_;
  std::vector<std::string> versions_;
  std::vector<upgrade::Cause> causes_;
  int ends_ = 0;
};

}  // namespace torv2::testing
