#pragma once
// A log a person can read after the window has gone: one line per status check and upgrade
// attempt as it ends, with the time (UTC), the outcome and the cause, e.g.
//   2024-05-02T09:14:03Z upgrade failed; cause: main size record: refused ("Error")
//   2024-05-02T09:15:40Z upgrade ok; version 2.07 -> 2.08
// The file stays small: once it has reached its limit it is moved aside to FILE.old (replacing
// the one before) and a new one begins. Its folder is made when it is first written. A log that
// cannot be written is given up silently: the window goes on as it would without it.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "upgrade/attempt.h"

namespace torv2::window {

// The line for `attempt` (no line end); the time is the attempt's end.
std::string AttemptLogLine(const upgrade::Attempt& attempt);

class AttemptLog final : public upgrade::AttemptObserver {
 public:
  static constexpr std::uintmax_t kDefaultLimit = 256 * 1024;

  explicit AttemptLog(std::filesystem::path file, std::uintmax_t limit = kDefaultLimit);

  void AttemptEnded(const upgrade::Attempt& attempt) override;
  // Appends `line` and a line end, moving a full log aside first; any thread.
  void Append(const std::string& line);

  const std::filesystem::path& file() const { return file_; }

 private:
  const std::filesystem::path file_;
  const std::uintmax_t limit_;
  std::mutex mutex_;
};

}  // namespace torv2::window
