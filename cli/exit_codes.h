#pragma once
// The command line's exit codes, and the one an upgrade job's outcome gives.

#include <algorithm>
#include <cstdint>

#include "upgrade/upgrader.h"

namespace torv2::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitReportFailure = 1;
inline constexpr int kExitJobFailed = 2;
inline constexpr int kExitNoProgrammer = 3;
inline constexpr int kExitUsage = 64;

// 0 only when both images were verified, the device's verdict was "OK" and all eight sockets
// report upgraded; 1 for a completed job whose report shows a failure; 2 for a job that stopped
// on an error; 3 when the programmer was missing or refused.
inline int UpgradeExitCode(const upgrade::JobResult& job) {
  switch (job.outcome) {
    case upgrade::JobOutcome::Completed: {
      const bool allSockets = job.sockets && std::all_of(job.sockets->begin(), job.sockets->end(),
                                                         [](std::uint8_t c) { return c == 'U'; });
      return job.mainOk && job.subOk && allSockets ? kExitOk : kExitReportFailure;
    }
    case upgrade::JobOutcome::Refused:
      return kExitNoProgrammer;
    case upgrade::JobOutcome::Failed:
    case upgrade::JobOutcome::NotRun:
      break;
  }
  return job.linkNotReady ? kExitNoProgrammer : kExitJobFailed;
}

}  // namespace torv2::cli
