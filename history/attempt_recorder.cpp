#include "history/attempt_recorder.h"

#include <cstdio>
#include <utility>

#include "history/utc_time.h"
#include "upgrade/upgrader.h"
#include "upgrade/version_text.h"

namespace torv2::history {
namespace {

std::string VersionText(const std::optional<double>& version) {
  return version ? upgrade::FormatVersion(*version) : std::string();
}

// The socket states as the device sent them; a byte that is not printable shows as '?'.
std::string SocketText(const upgrade::SubSocketStatus& sockets) {
  std::string text;
  for (const std::uint8_t c : sockets) text += (c > 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  return text;
}

// What a completed job's report shows as failed: "main", "sub", "sockets 3 5".
std::string FailedParts(const upgrade::JobResult& job) {
  std::string parts;
  const auto add = [&parts](const std::string& part) {
    parts += (parts.empty() ? "" : ", ") + part;
  };
  if (!job.mainOk) add("main");
  if (!job.subOk) add("sub");
  if (!job.sockets) {
    add("no socket status");
  } else {
    std::string sockets;
    for (std::size_t i = 0; i < job.sockets->size(); ++i) {
      if ((*job.sockets)[i] != link::kSocketUpgraded) sockets += " " + std::to_string(i + 1);
    }
    if (!sockets.empty()) add("sockets" + sockets);
  }
  return parts;
}

}  // namespace

std::string UtcText(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms.count() % 1000));
  return FormatUtc(when, "%Y-%m-%dT%H:%M:%S") + fraction;
}

AttemptRow RowOf(const upgrade::Attempt& attempt, const RecorderSettings& settings) {
  AttemptRow row;
  row.timeUtc = UtcText(attempt.started);
  row.program = settings.program;
  const bool upgrade = attempt.kind == upgrade::AttemptKind::Upgrade ||
                       (settings.statusIsPartOfUpgrade && !attempt.linkOpened);
  row.kind = upgrade ? "upgrade" : "status";
  if (settings.identity) {
    const ProgrammerIdentity identity = settings.identity();
    row.device = identity.name;
    row.busAddress = identity.busAddress;
  }
  row.versionBefore = VersionText(attempt.versionBefore);
  row.versionCarried = settings.versionCarried;
  row.versionAfter = VersionText(attempt.versionAfter);
  row.durationMs = attempt.duration.count();

  const upgrade::JobResult* job = attempt.job;
  if (attempt.cancelled && !(job && job->outcome == upgrade::JobOutcome::Completed)) {
    row.outcome = kOutcomeCancelled;
  } else if (!attempt.linkOpened || (job && job->outcome == upgrade::JobOutcome::Refused)) {
    row.outcome = kOutcomeNotReady;
  } else if (!job) {
    // A programmer that answers but tells no version, or leaves its status unread, is not ready
    // (the command line's status exits 3 for it).
    row.outcome = attempt.versionBefore && !attempt.cause ? kOutcomeOk : kOutcomeNotReady;
  } else if (job->outcome == upgrade::JobOutcome::Completed) {
    row.failedParts = FailedParts(*job);
    row.outcome = upgrade::Succeeded(*job) ? kOutcomeOk : kOutcomeReportFailure;
  } else {
    row.outcome = kOutcomeError;
  }
  if (job && job->sockets) row.sockets = SocketText(*job->sockets);
  // In the words the front ends print after "cause: ".
  if (attempt.cause) {
    row.cause = upgrade::DescribeCause(*attempt.cause);
  } else if (job && job->cause) {
    row.cause = upgrade::DescribeCause(*job->cause);
  }
  return row;
}

AttemptRow BeganRowOf(const upgrade::Attempt& attempt, const RecorderSettings& settings) {
  AttemptRow row = RowOf(attempt, settings);
  row.outcome = kOutcomeUnfinished;
  row.cause = kCauseUnfinished;
  row.failedParts.clear();
  row.sockets.clear();
  row.versionAfter.clear();
  row.durationMs = 0;
  return row;
}

void AttemptRecorder::AttemptBegan(const upgrade::Attempt& attempt) {
  if (attempt.kind != upgrade::AttemptKind::Upgrade) return;
  begun_ = store_.Begin(BeganRowOf(attempt, settings_));
}

void AttemptRecorder::AttemptEnded(const upgrade::Attempt& attempt) {
  if (settings_.statusIsPartOfUpgrade && attempt.kind == upgrade::AttemptKind::StatusCheck &&
      attempt.linkOpened) {
    return;  // the upgrade that follows keeps the row
  }
  const AttemptRow row = RowOf(attempt, settings_);
  if (attempt.kind == upgrade::AttemptKind::Upgrade && begun_) {
    store_.Complete(*std::exchange(begun_, std::nullopt), row);
  } else {
    store_.Record(row);
  }
}

}  // namespace torv2::history
