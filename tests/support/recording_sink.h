#pragma once
// A progress sink that remembers every call, for tests.

#include <mutex>
#include <string>
#include <vector>

#include "link/progress_sink.h"

namespace torv2::testing {

class RecordingSink : public link::ProgressSink {
 public:
  void SetLabel(std::string_view label, bool show) override {
    std::lock_guard lock(mutex_);
    labels_.push_back(std::string(label) + (show ? "" : " (hidden)"));
  }
  void SetPercent(int percent) override {
    std::lock_guard lock(mutex_);
    positions_.push_back(percent);
    position_ = percent;
  }

  std::vector<int> positions() const {
    std::lock_guard lock(mutex_);
    return positions_;
  }
  std::vector<std::string> labels() const {
    std::lock_guard lock(mutex_);
    return labels_;
  }
  int position() const {
    std::lock_guard lock(mutex_);
    return position_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    positions_.clear();
    labels_.clear();
  }

 private:
  mutable std::mutex mutex_;
  int position_ = 0;
  std::vector<int> positions_;
  std::vector<std::string> labels_;
};

}  // namespace torv2::testing
