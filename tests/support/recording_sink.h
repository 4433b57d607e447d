#pragma once
// A progress sink that remembers every call, for tests.

#include <mutex>
#include <string>
#include <vector>

#include "link/progress_sink.h"

namespace torv2::testing {

class RecordingSink : public link::ProgressSink {
 public:
  void SetRange(int lower, int upper) override {
    std::lock_guard lock(mutex_);
    lower_ = lower;
    upper_ = upper;
  }
  void SetStep(int step) override {
    std::lock_guard lock(mutex_);
    step_ = step;
  }
  void SetText(std::string_view label, bool show) override {
    std::lock_guard lock(mutex_);
    labels_.push_back(std::string(label) + (show ? "" : " (hidden)"));
  }
  int SetPos(int position) override {
    std::lock_guard lock(mutex_);
    positions_.push_back(position);
    return std::exchange(position_, position);
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
  int lower_ = 0, upper_ = 0, step_ = 0, position_ = 0;
  std::vector<int> positions_;
  std::vector<std::string> labels_;
};

}  // namespace torv2::testing
