#include "window/attempt_log.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "upgrade/upgrader.h"
#include "upgrade/version_text.h"

namespace torv2::window {
namespace {

std::string TwoDigits(unsigned value) {
  return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
         static_cast<char>('0' + value % 10);
}

// "2024-05-02T09:14:03Z"
std::string UtcTime(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(at);
  const auto day = floor<days>(seconds);
  const year_month_day date(day);
  const hh_mm_ss time(seconds - day);
  return std::to_string(static_cast<int>(date.year())) + "-" +
         TwoDigits(static_cast<unsigned>(date.month())) + "-" +
         TwoDigits(static_cast<unsigned>(date.day())) + "T" +
         TwoDigits(static_cast<unsigned>(time.hours().count())) + ":" +
         TwoDigits(static_cast<unsigned>(time.minutes().count())) + ":" +
         TwoDigits(static_cast<unsigned>(time.seconds().count())) + "Z";
}

const char* Outcome(const upgrade::Attempt& attempt) {
  if (attempt.cancelled) return "cancelled";
  if (attempt.kind == upgrade::AttemptKind::StatusCheck) {
    return attempt.linkOpened && !attempt.cause ? "ok" : "failed";
  }
  if (attempt.job == nullptr) return "not-run";
  switch (attempt.job->outcome) {
    case upgrade::JobOutcome::NotRun:
      return "not-run";
    case upgrade::JobOutcome::Refused:
      return "refused (no programmer ready)";
    case upgrade::JobOutcome::Failed:
      return "failed";
    case upgrade::JobOutcome::Completed:
      return upgrade::Succeeded(*attempt.job) ? "ok" : "completed, with failures";
  }
  return "?";
}

// The cause as the device's bytes left it may hold anything; the log keeps one line an attempt.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

std::string AttemptLogLine(const upgrade::Attempt& attempt) {
  std::string line = UtcTime(attempt.started + attempt.duration);
  line += attempt.kind == upgrade::AttemptKind::Upgrade ? " upgrade " : " status-check ";
  line += Outcome(attempt);
  if (attempt.versionBefore || attempt.versionAfter) {
    line += "; version ";
    line += attempt.versionBefore ? upgrade::FormatVersion(*attempt.versionBefore) : "?";
    if (attempt.kind == upgrade::AttemptKind::Upgrade) {
      line += " -> ";
      line += attempt.versionAfter ? upgrade::FormatVersion(*attempt.versionAfter) : "?";
    }
  }
  const std::optional<upgrade::Cause>& cause =
      attempt.job != nullptr ? attempt.job->cause : attempt.cause;
  if (cause) line += "; cause: " + OneLine(upgrade::DescribeCause(*cause));
  return line;
}

AttemptLog::AttemptLog(std::filesystem::path file, std::uintmax_t limit)
    : file_(std::move(file)), limit_(limit) {}

void AttemptLog::AttemptEnded(const upgrade::Attempt& attempt) {
  Append(AttemptLogLine(attempt));
}

void AttemptLog::Append(const std::string& line) {
  std::lock_guard lock(mutex_);
  std::error_code ec;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
  const std::uintmax_t size = std::filesystem::file_size(file_, ec);
  if (!ec && size + line.size() + 1 > limit_) {
    std::filesystem::path old = file_;
    old += ".old";
    std::filesystem::remove(old, ec);
    std::filesystem::rename(file_, old, ec);
    if (ec) std::filesystem::remove(file_, ec);  // never past the limit
  }
  std::ofstream out(file_, std::ios::binary | std::ios::app);
  if (!out) return;
  out << line << '\n';
}

}  // namespace torv2::window
